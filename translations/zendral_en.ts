<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>ConnectionSettingsDialog</name>
    <message>
        <source>Connection Settings</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>IP Address:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Port:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Max Connection:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Engine Name:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>&lt;Please wait while accessing to WAN IP&gt;</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Application File (*.exe)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>All Files (*)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Allowed Clients:</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Everyone, or e.g. 192.168.1.0/24</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The port must be a number from 1 to 65535.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>No engine is given, and the default engine %1 is not there. Choose the nesting engine&apos;s program.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The engine %1 cannot be run: the file is missing or not executable.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>LocalMainWindow</name>
    <message>
        <source>Work Name</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Job Name</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>IP Address</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Submit Time</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>State</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Time Budget</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Node</source>
        <translation>Node</translation>
    </message>
    <message numerus="yes">
        <source>Node %1, %n node(s) connected</source>
        <translation>
            <numerusform>Node %1, %n node connected</numerusform>
            <numerusform>Node %1, %n nodes connected</numerusform>
        </translation>
    </message>
    <message>
        <source>Database unreachable: new jobs are refused</source>
        <translation>Database unreachable: new jobs are refused</translation>
    </message>
    <message>
        <source>Efficiency</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Progress</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Zendral</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Connection Settings...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Check Updates...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>About Zendral...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>&amp;Quit</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Ctrl+Q</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Job Controls</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Up</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Down</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Top</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Bottom</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Remove</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Service Controls</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Start</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Stop</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Options</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Language</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Help</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Job Remove succeed...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Job %1 succeed...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Retry</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Run a failed job again</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Engine missing or not executable: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot listen on port %1: %2 - trying again</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>No updater installed.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Zendral is up to date.</source>
        <translation type="unfinished"></translation>
    </message>
    <message numerus="yes">
        <source>Stop the service? %n running engine run(s) will be ended; the jobs wait again at their places.</source>
        <translation>
            <numerusform>Stop the service? %n running engine run will be ended; the job waits again at its place.</numerusform>
            <numerusform>Stop the service? %n running engine runs will be ended; the jobs wait again at their places.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Quit Zendral? %n running engine run(s) will be ended; the jobs wait again at their places.</source>
        <translation>
            <numerusform>Quit Zendral? %n running engine run will be ended; the job waits again at its place.</numerusform>
            <numerusform>Quit Zendral? %n running engine runs will be ended; the jobs wait again at their places.</numerusform>
        </translation>
    </message>
    <message>
        <source>The job is running. Remove it and end its engine run?</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Job Retry succeed...</source>
        <translation type="unfinished"></translation>
    </message>
    <message numerus="yes">
        <source>listening on port %1, %n engine run(s)</source>
        <translation>
            <numerusform>listening on port %1, %n engine run</numerusform>
            <numerusform>listening on port %1, %n engine runs</numerusform>
        </translation>
    </message>
    <message>
        <source>cannot listen, trying again</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>stopped</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Job finished</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Job failed</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>Orvane::VelApplication</name>
    <message>
        <source>Invalid Operation</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Fatal Error </source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Unknown Error</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>An unrecoverable error has occurred. Please contact your vendor for support.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>Orvane::Zendral::JobTableModel</name>
    <message>
        <source>waiting</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>running</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>finished</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>failed</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 s</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>Orvane::Zendral::LanguageMenuProxy</name>
    <message>
        <source>&lt;Auto&gt;</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>Orvane::Zendral::LocalManager</name>
    <message>
        <source>Cannot start service[%1]</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>Orvane::Zendral::LocalServer</name>
    <message>
        <source>Error</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cannot create directory for application data.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
