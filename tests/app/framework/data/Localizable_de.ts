<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<!-- Also translates log texts, as a careless table might: the installer must not use them. -->
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
    <message>
        <source>BrindleWave Verification Failed!</source>
        <translation>BrindleWave-Überprüfung fehlgeschlagen!</translation>
    </message>
    <message>
        <source>Download Brindlewave dmg file is not found!</source>
        <translation>Brindlewave-DMG-Datei nicht gefunden!</translation>
    </message>
    <message>
        <source>Failed to run hdiutil: %@, %@</source>
        <translation>hdiutil gescheitert: %@, %@</translation>
    </message>
    <message>
        <source>Failed to extract files from BrindleWave dmg file!</source>
        <translation>BrindleWave-DMG-Datei nicht entpackt!</translation>
    </message>
    <message>
        <source>Failed to verify package</source>
        <translation>Paket nicht überprüft</translation>
    </message>
</context>
</TS>
