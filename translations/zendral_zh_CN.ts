<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>ConnectionSettingsDialog</name>
    <message>
        <source>Connection Settings</source>
        <translation>连接设置</translation>
    </message>
    <message>
        <source>IP Address:</source>
        <translation>IP 地址：</translation>
    </message>
    <message>
        <source>Port:</source>
        <translation>端口：</translation>
    </message>
    <message>
        <source>Max Connection:</source>
        <translation>最大连接数：</translation>
    </message>
    <message>
        <source>Engine Name:</source>
        <translation>引擎名称：</translation>
    </message>
    <message>
        <source>&lt;Please wait while accessing to WAN IP&gt;</source>
        <translation>&lt;正在获取广域网 IP，请稍候&gt;</translation>
    </message>
    <message>
        <source>Application File (*.exe)</source>
        <translation>应用程序文件 (*.exe)</translation>
    </message>
    <message>
        <source>All Files (*)</source>
        <translation>所有文件 (*)</translation>
    </message>
    <message>
        <source>Allowed Clients:</source>
        <translation>允许的客户端：</translation>
    </message>
    <message>
        <source>Everyone, or e.g. 192.168.1.0/24</source>
        <translation>所有客户端，或例如 192.168.1.0/24</translation>
    </message>
    <message>
        <source>The port must be a number from 1 to 65535.</source>
        <translation>端口必须是 1 到 65535 之间的数字。</translation>
    </message>
    <message>
        <source>No engine is given, and the default engine %1 is not there. Choose the nesting engine&apos;s program.</source>
        <translation>未指定引擎，默认引擎 %1 不存在。请选择排料引擎程序。</translation>
    </message>
    <message>
        <source>The engine %1 cannot be run: the file is missing or not executable.</source>
        <translation>无法运行引擎 %1：文件不存在或不可执行。</translation>
    </message>
</context>
<context>
    <name>LocalMainWindow</name>
    <message>
        <source>Work Name</source>
        <translation>作业名称</translation>
    </message>
    <message>
        <source>Job Name</source>
        <translation>任务名称</translation>
    </message>
    <message>
        <source>IP Address</source>
        <translation>IP 地址</translation>
    </message>
    <message>
        <source>Submit Time</source>
        <translation>提交时间</translation>
    </message>
    <message>
        <source>State</source>
        <translation>状态</translation>
    </message>
    <message>
        <source>Time Budget</source>
        <translation>时间预算</translation>
    </message>
    <message>
        <source>Node</source>
        <translation>节点</translation>
    </message>
    <message numerus="yes">
        <source>Node %1, %n node(s) connected</source>
        <translation>
            <numerusform>节点 %1，已连接 %n 个节点</numerusform>
        </translation>
    </message>
    <message>
        <source>Database unreachable: new jobs are refused</source>
        <translation>无法连接数据库：暂不接受新任务</translation>
    </message>
    <message>
        <source>Efficiency</source>
        <translation>利用率</translation>
    </message>
    <message>
        <source>Progress</source>
        <translation>进度</translation>
    </message>
    <message>
        <source>Zendral</source>
        <translation>Zendral</translation>
    </message>
    <message>
        <source>Connection Settings...</source>
        <translation>连接设置...</translation>
    </message>
    <message>
        <source>Check Updates...</source>
        <translation>检查更新...</translation>
    </message>
    <message>
        <source>About Zendral...</source>
        <translation>关于 Zendral...</translation>
    </message>
    <message>
        <source>&amp;Quit</source>
        <translation>退出(&amp;Q)</translation>
    </message>
    <message>
        <source>Ctrl+Q</source>
        <translation>Ctrl+Q</translation>
    </message>
    <message>
        <source>Job Controls</source>
        <translation>任务控制</translation>
    </message>
    <message>
        <source>Up</source>
        <translation>上移</translation>
    </message>
    <message>
        <source>Down</source>
        <translation>下移</translation>
    </message>
    <message>
        <source>Top</source>
        <translation>置顶</translation>
    </message>
    <message>
        <source>Bottom</source>
        <translation>置底</translation>
    </message>
    <message>
        <source>Remove</source>
        <translation>删除</translation>
    </message>
    <message>
        <source>Service Controls</source>
        <translation>服务控制</translation>
    </message>
    <message>
        <source>Start</source>
        <translation>启动</translation>
    </message>
    <message>
        <source>Stop</source>
        <translation>停止</translation>
    </message>
    <message>
        <source>Options</source>
        <translation>选项</translation>
    </message>
    <message>
        <source>Language</source>
        <translation>语言</translation>
    </message>
    <message>
        <source>Help</source>
        <translation>帮助</translation>
    </message>
    <message>
        <source>Job Remove succeed...</source>
        <translation>任务删除成功...</translation>
    </message>
    <message>
        <source>Job %1 succeed...</source>
        <translation>任务%1成功...</translation>
    </message>
    <message>
        <source>Retry</source>
        <translation>重试</translation>
    </message>
    <message>
        <source>Run a failed job again</source>
        <translation>重新运行失败的任务</translation>
    </message>
    <message>
        <source>Engine missing or not executable: %1</source>
        <translation>引擎不存在或不可执行：%1</translation>
    </message>
    <message>
        <source>Cannot listen on port %1: %2 - trying again</source>
        <translation>无法在端口 %1 上监听：%2 - 正在重试</translation>
    </message>
    <message>
        <source>No updater installed.</source>
        <translation>未安装更新程序。</translation>
    </message>
    <message>
        <source>Zendral is up to date.</source>
        <translation>Zendral 已是最新版本。</translation>
    </message>
    <message numerus="yes">
        <source>Stop the service? %n running engine run(s) will be ended; the jobs wait again at their places.</source>
        <translation>
            <numerusform>停止服务？%n 个正在运行的引擎将被结束；这些任务将在原位置重新等待。</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Quit Zendral? %n running engine run(s) will be ended; the jobs wait again at their places.</source>
        <translation>
            <numerusform>退出 Zendral？%n 个正在运行的引擎将被结束；这些任务将在原位置重新等待。</numerusform>
        </translation>
    </message>
    <message>
        <source>The job is running. Remove it and end its engine run?</source>
        <translation>该任务正在运行。删除它并结束其引擎运行吗？</translation>
    </message>
    <message>
        <source>Job Retry succeed...</source>
        <translation>任务重试成功...</translation>
    </message>
    <message numerus="yes">
        <source>listening on port %1, %n engine run(s)</source>
        <translation>
            <numerusform>正在端口 %1 上监听，%n 个引擎在运行</numerusform>
        </translation>
    </message>
    <message>
        <source>cannot listen, trying again</source>
        <translation>无法监听，正在重试</translation>
    </message>
    <message>
        <source>stopped</source>
        <translation>已停止</translation>
    </message>
    <message>
        <source>Job finished</source>
        <translation>任务已完成</translation>
    </message>
    <message>
        <source>Job failed</source>
        <translation>任务失败</translation>
    </message>
    <message>
        <source>Hold</source>
        <translation>挂起</translation>
    </message>
    <message>
        <source>Release</source>
        <translation>释放</translation>
    </message>
    <message>
        <source>Pause</source>
        <translation>暂停</translation>
    </message>
    <message>
        <source>Resume</source>
        <translation>恢复</translation>
    </message>
    <message>
        <source>Paused</source>
        <translation>已暂停</translation>
    </message>
    <message>
        <source>Node %1 takes no jobs: %2</source>
        <translation>节点 %1 不接收任务：%2</translation>
    </message>
    <message>
        <source>Job held</source>
        <translation>任务已挂起</translation>
    </message>
    <message>
        <source>Job released</source>
        <translation>任务已释放</translation>
    </message>
    <message>
        <source>Let the held job run again</source>
        <translation>让挂起的任务重新运行</translation>
    </message>
    <message>
        <source>Keep the job in its place but do not start it (a running job is stopped)</source>
        <translation>保留任务的位置但不启动它（正在运行的任务会被停止）</translation>
    </message>
    <message>
        <source>The job is running. Hold it and stop its engine run?</source>
        <translation>该任务正在运行。挂起它并停止其引擎运行吗？</translation>
    </message>
    <message>
        <source>Remove the job and its files?</source>
        <translation>删除该任务及其文件吗？</translation>
    </message>
    <message>
        <source>Start new runs again</source>
        <translation>重新开始新的运行</translation>
    </message>
    <message>
        <source>Start no new runs; runs in progress go on</source>
        <translation>不再开始新的运行；正在进行的运行继续</translation>
    </message>
</context>
<context>
    <name>Orvane::VelApplication</name>
    <message>
        <source>Invalid Operation</source>
        <translation>无效操作</translation>
    </message>
    <message>
        <source>Fatal Error </source>
        <translation>致命错误 </translation>
    </message>
    <message>
        <source>Unknown Error</source>
        <translation>未知错误</translation>
    </message>
    <message>
        <source>An unrecoverable error has occurred. Please contact your vendor for support.</source>
        <translation>发生了无法恢复的错误。请联系供应商获取支持。</translation>
    </message>
</context>
<context>
    <name>Orvane::Zendral::JobTableModel</name>
    <message>
        <source>waiting</source>
        <translation>等待中</translation>
    </message>
    <message>
        <source>running</source>
        <translation>运行中</translation>
    </message>
    <message>
        <source>finished</source>
        <translation>已完成</translation>
    </message>
    <message>
        <source>failed</source>
        <translation>失败</translation>
    </message>
    <message>
        <source>%1 s</source>
        <translation>%1 秒</translation>
    </message>
    <message>
        <source>held</source>
        <translation>已挂起</translation>
    </message>
    <message>
        <source>held until %1</source>
        <translation>挂起至 %1</translation>
    </message>
</context>
<context>
    <name>Orvane::Zendral::LanguageMenuProxy</name>
    <message>
        <source>&lt;Auto&gt;</source>
        <translation>&lt;自动&gt;</translation>
    </message>
</context>
<context>
    <name>Orvane::Zendral::LocalManager</name>
    <message>
        <source>Cannot start service[%1]</source>
        <translation>无法启动服务[%1]</translation>
    </message>
</context>
<context>
    <name>Orvane::Zendral::LocalServer</name>
    <message>
        <source>Error</source>
        <translation>错误</translation>
    </message>
    <message>
        <source>Cannot create directory for application data.</source>
        <translation>无法创建应用程序数据文件夹。</translation>
    </message>
</context>
</TS>
