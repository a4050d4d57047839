#include <QImage>
#include <QImageReader>
#include <QTest>
#include <QTranslator>

// The resource bundle compiled into the program: the German catalogue and
// the two images.
class TestResources : public QObject
{
    Q_OBJECT

private slots:
    void catalogueTranslates_data()
    {
        QTest::addColumn<QString>("context");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("german");

        const auto row = [](const char* context, const char* source, const char* german) {
            QTest::addRow("%s: %s", context, source)
                << QString::fromLatin1(context) << QString::fromUtf8(source) << QString::fromUtf8(german);
        };
        row("MainWindow", "<p>Update in progress.</p><p>Are you sure you want to abort?</p>",
            "<p>Aktualisierung läuft momentan.</p><p>Wirklich abbrechen?</p>");
        row("MainWindow", "Alpha channel (%1)", "Alpha Channel (%1)");
        row("MainWindow", "Beta channel", "Beta Channel");
        row("MainWindow", "Question", "Frage");
        row("MainWindow", "Restart", "Neu starten");
        row("MainWindow", "Start Kestrune", "Kestrune starten");
        row("MainWindow", "Start Update", "Update starten");
        row("MainWindow", "Update", "Aktualisierung");
        row("QObject", "Error", "Fehler");
        row("QObject", "Failed to query latest client\nversion from update server.",
            "Konnte aktuelle Client Version nicht\nvom Aktualisierungsserver abfragen.");
        row("QObject", "No client type specified", "Kein Client Type angegeben");
        row("QObject", "No client version specified", "Keine Client Version angegeben");
    }

    void catalogueTranslates()
    {
        QFETCH(QString, context);
        QFETCH(QString, source);
        QFETCH(QString, german);

        QTranslator translator;
        // The program loads "update_" + locale name; the standard search cuts
        // "update_de_DE" down to "update_de.qm".
        QVERIFY(translator.load(QStringLiteral(":/i18n/update_de_DE")));
        QCOMPARE(translator.translate(context.toLatin1().constData(), source.toUtf8().constData()), german);
    }

    void otherLocalesFindNoCatalogue()
    {
        QTranslator translator;
        QVERIFY(!translator.load(QStringLiteral(":/i18n/update_fr_FR")));
    }

    void imagesAreEmbedded()
    {
        const QImage logo(QStringLiteral(":/images/kestrune_logo.png"));
        QVERIFY(!logo.isNull());

        QImageReader icon(QStringLiteral(":/images/application.ico"));
        QVERIFY(icon.canRead());
        QVERIFY(icon.imageCount() > 1);
    }
};

QTEST_GUILESS_MAIN(TestResources)
#include "tst_resources.moc"
