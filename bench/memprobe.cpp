// Memory probe: runs one download or one checksum over a (large) file so that
// its peak memory can be measured from outside, e.g.
//
//   head -c 1G /dev/urandom > /tmp/big.bin
//   /usr/bin/time -v build/bench/memprobe idle
//   /usr/bin/time -v build/bench/memprobe download /tmp/big.bin /tmp/big.copy
//   /usr/bin/time -v build/bench/memprobe md5 /tmp/big.bin "$(md5sum < /tmp/big.bin | cut -d' ' -f1)"
//
// "download" fetches SOURCE through DownloadTaskSpecification, with the
// engine's once-a-second tick running. SOURCE is an http:// URL, or a local
// file that a private nginx serves on loopback (when the test helpers are
// built; nginx runs as a separate process, so its memory is not ours).
// "md5" runs the checksum work of the verification task on the calling
// thread. "idle" sets up the same application objects and ends.

#include "download/downloadtaskspecification.h"
#include "download/mirrors.h"
#include "manifest/checksignaturetaskspecification.h"

#ifdef KR3_MEMPROBE_NGINX
#include "nginxserver.h"
#endif

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: memprobe idle\n"
                 "       memprobe download SOURCE TARGET   (SOURCE: http:// URL or local file)\n"
                 "       memprobe md5 FILE SUM\n");
    return 2;
}

int download(const QString& source, const QString& target)
{
    QString url = source;
#ifdef KR3_MEMPROBE_NGINX
    std::unique_ptr<NginxServer> nginx;
    if (!source.startsWith(QLatin1String("http://"))) {
        const QFileInfo info(source);
        nginx = std::make_unique<NginxServer>(info.absolutePath());
        if (!nginx->start()) {
            std::fprintf(stderr, "nginx: %s\n", qPrintable(nginx->errorString()));
            return 1;
        }
        url = nginx->baseUrl() + QLatin1Char('/') + info.fileName();
    }
#endif
    const qsizetype slash = url.lastIndexOf(QLatin1Char('/'));
    if (!url.startsWith(QLatin1String("http://")) || slash < 7)
        return usage();

    QNetworkAccessManager manager;
    manager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    Mirrors pool;
    FTPSiteAccessData mirror;
    mirror.name = QStringLiteral("probe");
    mirror.url = url.left(slash);
    mirror.retries = 0;
    pool.initFromList({ mirror });

    DownloadTaskSpecification task(&manager, &pool, url.mid(slash + 1), target, -1, nullptr, 1.0);
    QObject::connect(&task, &TaskSpecification::message, [](const QString& text) {
        std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    QObject::connect(&task, &TaskSpecification::error, [](const QString& text) {
        std::fprintf(stderr, "error: %s\n", qPrintable(text));
    });
    QObject::connect(&task, &TaskSpecification::finished, qApp, &QCoreApplication::quit);
    QObject::connect(&task, &TaskSpecification::canceled, qApp, &QCoreApplication::quit);

    // The engine polls the task tree once a second.
    QTimer ticker;
    ticker.setInterval(1000);
    QObject::connect(&ticker, &QTimer::timeout, [&task] {
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        task.timeTick(done, total, speed, downloading);
        std::fprintf(stderr, "%llu of %llu bytes, %llu bytes/s\n", static_cast<unsigned long long>(done),
                     static_cast<unsigned long long>(total), static_cast<unsigned long long>(speed));
    });
    ticker.start();

    QElapsedTimer clock;
    clock.start();
    task.execute();
    if (task.state == TaskSpecification::Running)
        QCoreApplication::exec();
    ticker.stop();

    const bool ok = task.state == TaskSpecification::Finished;
    std::printf("download %s: %lld bytes in %.1f s\n", ok ? "finished" : "failed",
                static_cast<long long>(QFileInfo(target).size()), clock.elapsed() / 1000.0);
    return ok ? 0 : 1;
}

int md5(const QString& file, const QString& sum)
{
    QElapsedTimer clock;
    clock.start();
    CheckSigFunc check(file, sum);
    QObject::connect(&check, &ASyncFunc::message, [](const QString& text) {
        std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    const bool match = check.run();
    std::printf("md5 %s: %lld bytes in %.1f s\n", match ? "matches" : "differs",
                static_cast<long long>(QFileInfo(file).size()), clock.elapsed() / 1000.0);
    return match ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const QString mode = args.value(0);

    if (mode == QLatin1String("idle") && args.size() == 1) {
        QNetworkAccessManager manager;
        std::printf("idle\n");
        return 0;
    }
    if (mode == QLatin1String("download") && args.size() == 3)
        return download(args.at(1), args.at(2));
    if (mode == QLatin1String("md5") && args.size() == 3)
        return md5(args.at(1), args.at(2));
    return usage();
}
