<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<context>
    <name>Localizable</name>
    <message>
        <source>BrindleWave is running!</source>
        <translation>BrindleWave läuft!</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>Gut</translation>
    </message>
</context>
</TS>
