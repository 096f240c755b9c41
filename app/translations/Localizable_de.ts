<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE" sourcelanguage="en">
<context>
    <name>Localizable</name>
    <message>
        <source>Downloading BrindleWave%@ %@</source>
        <translation>BrindleWave%@ %@ wird heruntergeladen</translation>
    </message>
    <message>
        <source>BrindleWave%@ %s is available</source>
        <translation>BrindleWave%@ %s ist verfügbar</translation>
    </message>
    <message>
        <source>BrindleWave%@ is up to date</source>
        <translation>BrindleWave%@ ist auf dem neuesten Stand</translation>
    </message>
    <message>
        <source>BrindleWave%@ %@ is downloaded</source>
        <translation>BrindleWave%@ %@ wurde heruntergeladen</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>BrindleWave is running!</source>
        <translation>BrindleWave wird ausgeführt!</translation>
    </message>
    <message>
        <source>Please shutdown BrindleWave, then install again</source>
        <translation>Bitte beenden Sie BrindleWave und starten Sie die Installation dann erneut</translation>
    </message>
    <message>
        <source>BrindleWave Verification Failed!</source>
        <translation>BrindleWave-Überprüfung fehlgeschlagen!</translation>
    </message>
    <message>
        <source>Failed to verify the signature of the downloaded installer. The package may be corrupted or has been modified by a third party.</source>
        <translation>Die Signatur des heruntergeladenen Installationsprogramms konnte nicht überprüft werden. Das Paket ist möglicherweise beschädigt oder wurde von Dritten verändert.</translation>
    </message>
    <message>
        <source>BrindleWave Installation Failed!</source>
        <translation>BrindleWave-Installation fehlgeschlagen!</translation>
    </message>
    <message>
        <source>Failed to open BrindleWave installer.</source>
        <translation>Das BrindleWave-Installationsprogramm konnte nicht geöffnet werden.</translation>
    </message>
    <message>
        <source>The downloaded installer does not say which BrindleWave version it installs.</source>
        <translation>Das heruntergeladene Installationsprogramm gibt nicht an, welche BrindleWave-Version es installiert.</translation>
    </message>
    <message>
        <source>The downloaded installer is for another BrindleWave product than this installer.</source>
        <translation>Das heruntergeladene Installationsprogramm gehört zu einem anderen BrindleWave-Produkt als dieses Installationsprogramm.</translation>
    </message>
    <message>
        <source>The downloaded installer is not the version that was offered. It may have been replaced by a third party.</source>
        <translation>Das heruntergeladene Installationsprogramm ist nicht die angebotene Version. Es wurde möglicherweise von Dritten ausgetauscht.</translation>
    </message>
    <message>
        <source>The downloaded installer is older than the BrindleWave installed on this computer.</source>
        <translation>Das heruntergeladene Installationsprogramm ist älter als das auf diesem Computer installierte BrindleWave.</translation>
    </message>
    <message>
        <source>This version of BrindleWave is already installed.</source>
        <translation>Diese Version von BrindleWave ist bereits installiert.</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Download</source>
        <translation>Herunterladen</translation>
    </message>
    <message>
        <source>Install</source>
        <translation>Installieren</translation>
    </message>
</context>
</TS>
