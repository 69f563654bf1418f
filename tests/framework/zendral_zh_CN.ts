<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>TestFramework</name>
    <message>
        <source>Job queue</source>
        <translation>作业队列</translation>
    </message>
</context>
</TS>
