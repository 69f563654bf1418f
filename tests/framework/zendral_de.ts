<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>Orvane::Zendral::LanguageMenuProxy</name>
    <message>
        <source>&lt;Auto&gt;</source>
        <translation>&lt;Automatisch&gt;</translation>
    </message>
</context>
<context>
    <name>TestFramework</name>
    <message>
        <source>Job queue</source>
        <translation>Auftragswarteschlange</translation>
    </message>
</context>
</TS>
