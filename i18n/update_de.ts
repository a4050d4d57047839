<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>MainWindow</name>
    <message>
        <source>&lt;p&gt;Update in progress.&lt;/p&gt;&lt;p&gt;Are you sure you want to abort?&lt;/p&gt;</source>
        <translation>&lt;p&gt;Aktualisierung läuft momentan.&lt;/p&gt;&lt;p&gt;Wirklich abbrechen?&lt;/p&gt;</translation>
    </message>
    <message>
        <source>Alpha channel (%1)</source>
        <translation>Alpha Channel (%1)</translation>
    </message>
    <message>
        <source>Beta channel</source>
        <translation>Beta Channel</translation>
    </message>
    <message>
        <source>Question</source>
        <translation>Frage</translation>
    </message>
    <message>
        <source>Restart</source>
        <translation>Neu starten</translation>
    </message>
    <message>
        <source>Start Kestrune</source>
        <translation>Kestrune starten</translation>
    </message>
    <message>
        <source>Start Update</source>
        <translation>Update starten</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>Aktualisierung</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Error</source>
        <translation>Fehler</translation>
    </message>
    <message>
        <source>Failed to query latest client
version from update server.</source>
        <translation>Konnte aktuelle Client Version nicht
vom Aktualisierungsserver abfragen.</translation>
    </message>
    <message>
        <source>No client type specified</source>
        <translation>Kein Client Type angegeben</translation>
    </message>
    <message>
        <source>No client version specified</source>
        <translation>Keine Client Version angegeben</translation>
    </message>
</context>
</TS>
