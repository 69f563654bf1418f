// The status page: polls /api/status and /api/jobs every second and redraws
// the service line, the counts and the job table. A failed poll shows a
// notice and is simply tried again, so the page comes back by itself when
// the service restarts. Texts follow the browser's language (English,
// Simplified Chinese). Job fields are put in as text only, never as markup.
"use strict";

const TEXTS = {
  en: {
    version: "Version", service: "Service", slots: "Engine slots", uptime: "Up",
    offline: "Connection to the service lost: trying again…",
    position: "#", work: "Work Name", name: "Job Name", client: "IP Address", submitted: "Submit Time",
    state: "State", budget: "Time Budget", efficiency: "Efficiency", node: "Node", progress: "Progress",
    empty: "The queue is empty.", updated: "Updated",
    listening: "listening", notListening: "not listening", paused: "paused",
    waiting: "waiting", held: "held", running: "running", finished: "finished", failed: "failed",
    seconds: "%1 s", heldUntil: "held until %1",
  },
  zh: {
    version: "版本", service: "服务", slots: "引擎槽位", uptime: "运行时间",
    offline: "与服务的连接已断开：正在重试…",
    position: "#", work: "作业名称", name: "任务名称", client: "IP 地址", submitted: "提交时间",
    state: "状态", budget: "时间预算", efficiency: "利用率", node: "节点", progress: "进度",
    empty: "队列为空。", updated: "更新于",
    listening: "监听中", notListening: "未监听", paused: "已暂停",
    waiting: "等待中", held: "已挂起", running: "运行中", finished: "已完成", failed: "失败",
    seconds: "%1 秒", heldUntil: "挂起至 %1",
  },
};
const STATES = ["waiting", "held", "running", "finished", "failed"];
const POLL_MS = 1000;

const language = (navigator.languages && navigator.languages[0]) || navigator.language || "en";
const T = /^zh\b/i.test(language) && !/^zh[-_](tw|hk|mo|hant)/i.test(language) ? TEXTS.zh : TEXTS.en;
document.documentElement.lang = T === TEXTS.zh ? "zh-CN" : "en";

function text(key, value) {
  return (T[key] || key).replace("%1", value);
}

function pad(n) {
  return String(n).padStart(2, "0");
}

// "yyyy-MM-dd hh:mm:ss" in the browser's time zone, as the window shows it.
function localTime(iso) {
  const t = iso ? new Date(iso) : null;
  if (!t || isNaN(t)) return "";
  return `${t.getFullYear()}-${pad(t.getMonth() + 1)}-${pad(t.getDate())} ` +
         `${pad(t.getHours())}:${pad(t.getMinutes())}:${pad(t.getSeconds())}`;
}

function duration(seconds) {
  const s = Math.max(0, Math.floor(seconds || 0));
  const d = Math.floor(s / 86400), h = Math.floor(s / 3600) % 24, m = Math.floor(s / 60) % 60;
  return (d ? d + "d " : "") + `${pad(h)}:${pad(m)}:${pad(s % 60)}`;
}

// The window's progress: whole percent, 0 to 100.
function percent(progress) {
  return progress > 0 ? Math.min(100, Math.floor(progress)) : 0;
}

function cell(row, value, className) {
  const td = row.insertCell();
  td.textContent = value;
  if (className) td.className = className;
  td.title = value;
  return td;
}

function progressCell(row, progress) {
  const td = row.insertCell();
  td.className = "progress";
  const bar = document.createElement("div");
  bar.className = "bar";
  bar.setAttribute("role", "progressbar");
  bar.setAttribute("aria-valuemin", "0");
  bar.setAttribute("aria-valuemax", "100");
  bar.setAttribute("aria-valuenow", String(progress));
  const fill = document.createElement("div");
  fill.className = "fill";
  fill.style.width = progress + "%";
  const label = document.createElement("span");
  label.textContent = progress + " %";
  bar.append(fill, label);
  td.append(bar);
}

function showStatus(status) {
  document.getElementById("node").textContent = status.node || "";
  document.getElementById("version").textContent = status.version || "";
  const state = document.getElementById("state");
  state.textContent = status.paused ? text("paused") : text(status.listening ? "listening" : "notListening");
  state.className = status.paused ? "paused" : status.listening ? "" : "down";
  document.getElementById("slots").textContent = `${status.slots_busy} / ${status.slots_total}`;
  document.getElementById("uptime").textContent = duration(status.uptime);
  const counts = document.getElementById("counts");
  counts.replaceChildren(...STATES.map((name) => {
    const item = document.createElement("li");
    item.className = name;
    item.dataset.state = name;
    const number = document.createElement("b");
    number.textContent = String((status.jobs && status.jobs[name]) || 0);
    item.append(text(name), number);
    return item;
  }));
  document.getElementById("jobs").classList.toggle("shared", Array.isArray(status.nodes));
}

function showJobs(jobs) {
  const body = document.querySelector("#jobs tbody");
  const rows = document.createDocumentFragment();
  const table = document.createElement("tbody");
  for (const job of jobs) {
    const row = table.insertRow();
    row.className = job.state;
    row.dataset.id = job.id;
    cell(row, job.position > 0 ? String(job.position) : "", "num");
    cell(row, job.work, "text");
    cell(row, job.name, "text");
    cell(row, job.client, "wide");
    cell(row, localTime(job.submitted), "wide");
    const state = cell(row, text(job.state));
    if (job.state === "failed" && job.error) state.title = job.error;
    if (job.state === "held" && job.held_until) state.title = text("heldUntil", localTime(job.held_until));
    cell(row, text("seconds", job.budget), "wide num");
    cell(row, String(Number(job.efficiency.toPrecision(6))), "wide num");
    cell(row, job.state === "running" ? job.node : "", "node");
    progressCell(row, percent(job.progress));
  }
  rows.append(...table.rows);
  body.replaceChildren(rows);
  document.getElementById("empty").hidden = jobs.length > 0;
}

async function fetchJson(path) {
  const reply = await fetch(path, { cache: "no-store" });
  if (!reply.ok) throw new Error(`${path}: ${reply.status}`);
  return reply.json();
}

async function poll() {
  try {
    const [status, list] = await Promise.all([fetchJson("api/status"), fetchJson("api/jobs")]);
    showStatus(status);
    showJobs(list.jobs || []);
    document.getElementById("offline").hidden = true;
    document.getElementById("updated").textContent = localTime(new Date().toISOString());
  } catch (error) {
    document.getElementById("offline").hidden = false;
  } finally {
    setTimeout(poll, POLL_MS);
  }
}

for (const element of document.querySelectorAll("[data-text]"))
  element.textContent = text(element.dataset.text);
document.title = "Zendral";
poll();
