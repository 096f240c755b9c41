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
        <source>Download Brindlewave dmg file is not found!</source>
        <translation>Die heruntergeladene Brindlewave-DMG-Datei wurde nicht gefunden!</translation>
    </message>
    <message>
        <source>%@ is not found in the extracted files</source>
        <translation>%@ wurde in den entpackten Dateien nicht gefunden</translation>
    </message>
    <message>
        <source>Mount point existed!</source>
        <translation>Der Einhängepunkt existiert bereits!</translation>
    </message>
    <message>
        <source>Failed to create mount point!</source>
        <translation>Der Einhängepunkt konnte nicht angelegt werden!</translation>
    </message>
    <message>
        <source>Failed to run hdiutil: %@, %@</source>
        <translation>hdiutil konnte nicht ausgeführt werden: %@, %@</translation>
    </message>
    <message>
        <source>Failed to extract files from BrindleWave disk image.</source>
        <translation>Die Dateien konnten nicht aus dem BrindleWave-Disk-Image entpackt werden.</translation>
    </message>
    <message>
        <source>Failed to extract files from BrindleWave dmg file!</source>
        <translation>Die Dateien konnten nicht aus der BrindleWave-DMG-Datei entpackt werden!</translation>
    </message>
    <message>
        <source>BrindleWave dmg file is mounted successfully: %@</source>
        <translation>Die BrindleWave-DMG-Datei wurde erfolgreich eingehängt: %@</translation>
    </message>
    <message>
        <source>Failed to verify package</source>
        <translation>Das Paket konnte nicht überprüft werden</translation>
    </message>
    <message>
        <source>File does not exist: %@</source>
        <translation>Datei existiert nicht: %@</translation>
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
