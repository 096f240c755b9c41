<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr_FR" sourcelanguage="en">
<context>
    <name>Localizable</name>
    <message>
        <source>Downloading BrindleWave%@ %@</source>
        <translation>Téléchargement de BrindleWave%@ %@</translation>
    </message>
    <message>
        <source>BrindleWave%@ %s is available</source>
        <translation>BrindleWave%@ %s est disponible</translation>
    </message>
    <message>
        <source>BrindleWave%@ is up to date</source>
        <translation>BrindleWave%@ est à jour</translation>
    </message>
    <message>
        <source>BrindleWave%@ %@ is downloaded</source>
        <translation>BrindleWave%@ %@ a été téléchargé</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>BrindleWave is running!</source>
        <translation>BrindleWave est en cours d’exécution !</translation>
    </message>
    <message>
        <source>Please shutdown BrindleWave, then install again</source>
        <translation>Veuillez quitter BrindleWave, puis relancer l’installation</translation>
    </message>
    <message>
        <source>BrindleWave Verification Failed!</source>
        <translation>Échec de la vérification de BrindleWave !</translation>
    </message>
    <message>
        <source>Failed to verify the signature of the downloaded installer. The package may be corrupted or has been modified by a third party.</source>
        <translation>Impossible de vérifier la signature du programme d’installation téléchargé. Le paquet est peut-être endommagé ou a été modifié par un tiers.</translation>
    </message>
    <message>
        <source>BrindleWave Installation Failed!</source>
        <translation>Échec de l’installation de BrindleWave !</translation>
    </message>
    <message>
        <source>Failed to open BrindleWave installer.</source>
        <translation>Impossible d’ouvrir le programme d’installation de BrindleWave.</translation>
    </message>
    <message>
        <source>The downloaded installer does not say which BrindleWave version it installs.</source>
        <translation>Le programme d’installation téléchargé n’indique pas quelle version de BrindleWave il installe.</translation>
    </message>
    <message>
        <source>The downloaded installer is for another BrindleWave product than this installer.</source>
        <translation>Le programme d’installation téléchargé concerne un autre produit BrindleWave que ce programme d’installation.</translation>
    </message>
    <message>
        <source>The downloaded installer is not the version that was offered. It may have been replaced by a third party.</source>
        <translation>Le programme d’installation téléchargé n’est pas la version proposée. Il a peut-être été remplacé par un tiers.</translation>
    </message>
    <message>
        <source>The downloaded installer is older than the BrindleWave installed on this computer.</source>
        <translation>Le programme d’installation téléchargé est plus ancien que le BrindleWave installé sur cet ordinateur.</translation>
    </message>
    <message>
        <source>This version of BrindleWave is already installed.</source>
        <translation>Cette version de BrindleWave est déjà installée.</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Annuler</translation>
    </message>
    <message>
        <source>Download</source>
        <translation>Télécharger</translation>
    </message>
    <message>
        <source>Install</source>
        <translation>Installer</translation>
    </message>
</context>
</TS>
