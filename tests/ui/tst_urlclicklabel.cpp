#include <QDesktopServices>
#include <QTest>
#include <QUrl>
#include <QWidget>

#include "ui/urlclicklabel.h"

namespace {

// Takes the place of the desktop's handlers and records what is opened.
class UrlRecorder : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> opened;

public slots:
    void open(const QUrl& url) { opened.append(url); }
};

// Counts the presses that reach the label's parent.
class Parent : public QWidget
{
public:
    int presses = 0;

protected:
    void mousePressEvent(QMouseEvent*) override { ++presses; }
};

const QStringList Schemes = { QStringLiteral("http"), QStringLiteral("https"), QStringLiteral("file"),
                              QStringLiteral("ftp"), QStringLiteral("mailto"), QStringLiteral("javascript") };

} // namespace

class TestUrlClickLabel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        for (const QString& scheme : Schemes)
            QDesktopServices::setUrlHandler(scheme, &recorder, "open");
    }

    void cleanupTestCase()
    {
        for (const QString& scheme : Schemes)
            QDesktopServices::unsetUrlHandler(scheme);
    }

    void click_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<Qt::MouseButton>("button");
        QTest::addColumn<QString>("opened");

        QTest::newRow("http") << "http://www.kestrune.example/" << Qt::LeftButton
                              << "http://www.kestrune.example/";
        QTest::newRow("https, right button") << "https://b.example/x?y=1" << Qt::RightButton
                                             << "https://b.example/x?y=1";
        QTest::newRow("scheme in capitals") << "HTTPS://b.example/" << Qt::MiddleButton << "https://b.example/";
        QTest::newRow("none set") << "" << Qt::LeftButton << "";
        QTest::newRow("local file") << "file:///etc/passwd" << Qt::LeftButton << "";
        QTest::newRow("plain path") << "/etc/passwd" << Qt::LeftButton << "";
        QTest::newRow("ftp") << "ftp://b.example/" << Qt::LeftButton << "";
        QTest::newRow("mailto") << "mailto:a@b.example" << Qt::LeftButton << "";
        QTest::newRow("javascript") << "javascript:alert(1)" << Qt::LeftButton << "";
    }

    // A press opens a web address, and nothing else, and stays with the label.
    void click()
    {
        QFETCH(QString, url);
        QFETCH(Qt::MouseButton, button);
        QFETCH(QString, opened);

        recorder.opened.clear();
        Parent parent;
        auto* label = new UrlClickLabel(&parent);
        label->resize(100, 30);
        if (!url.isEmpty())
            label->setUrl(url);
        parent.show();
        QVERIFY(QTest::qWaitForWindowExposed(&parent));

        QTest::mousePress(label, button, Qt::NoModifier, QPoint(10, 10));
        QTest::mouseRelease(label, button, Qt::NoModifier, QPoint(10, 10));

        if (opened.isEmpty()) {
            QVERIFY(recorder.opened.isEmpty());
        } else {
            QCOMPARE(recorder.opened.size(), 1);
            QCOMPARE(recorder.opened.first(), QUrl(opened));
        }
        QCOMPARE(parent.presses, 0);
    }

private:
    UrlRecorder recorder;
};

QTEST_MAIN(TestUrlClickLabel)
#include "tst_urlclicklabel.moc"
