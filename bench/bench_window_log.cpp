// The window's log under a flood of controller text: a peer on
// 127.0.0.1:8080 writes SIZE MiB of raw text (no file markers) as fast as
// the connection takes it, once in lines of 64 bytes and once without a
// single line break, then one small file. Printed per run: VmRSS idle (the
// window connected and settled), its peak over idle and its end over idle,
// the GUI thread's longest stall (the largest gap between ticks of a 10 ms
// timer, minus 10 ms), the time to the file's log lines, and whether they
// were shown with the right size.
//
// The window reads settings.ini beside this executable when it is built;
// the benchmark writes it (controller 127.0.0.1) and removes it at the end.
// Run it only through scripts/netns-run.
//
// Usage: bench_window_log [--size MiB] [--only lines|flat]
// Defaults: 1024 MiB, both kinds of text.

#include "app/mainwindow.h"
#include "benchsupport.h"
#include "transfer/protocol.h"
#include "transfer/transfercodes.h"

#include <QApplication>
#include <QSettings>
#include <QTextEdit>

#include <malloc.h>
#include <thread>

namespace {

constexpr qint64 MiB = 1024 * 1024;
const QByteArray FileContents = QByteArrayLiteral("the file after the flood\n");

QString settingsPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/settings.ini");
}

// 64 KiB of text, ASCII only, so no byte of it starts a file marker.
QByteArray floodPiece(bool lineBreaks)
{
    QByteArray line = QByteArrayLiteral("controller status 0123456789 abcdefghijklmnopqrstuvw");
    line = line.leftJustified(lineBreaks ? 63 : 64, '.');
    if (lineBreaks)
        line += '\n';
    return line.repeated(1024);
}

QByteArray fileStream()
{
    const QByteArray md5 = QCryptographicHash::hash(FileContents, QCryptographicHash::Md5).toHex();
    return Protocol::buildHeader(QStringLiteral("after-flood.txt"), quint64(FileContents.size()),
                                 md5) +
           FileContents + Protocol::endMarker();
}

// The controller: its own thread, blocking socket calls, TCP's flow control
// holding it back when the window reads slower than it writes.
void floodPeer(qint64 bytes, bool lineBreaks, std::atomic<bool> &listening,
               std::atomic<bool> &written)
{
    QTcpServer server;
    listening = server.listen(QHostAddress::LocalHost, 8080);
    if (!listening || !server.waitForNewConnection(30000))
        return;
    QTcpSocket *peer = server.nextPendingConnection();
    const QByteArray piece = floodPiece(lineBreaks);
    for (qint64 sent = 0; sent < bytes && peer->state() == QAbstractSocket::ConnectedState;
         sent += piece.size()) {
        peer->write(piece);
        while (peer->bytesToWrite() > 4 * MiB)
            peer->waitForBytesWritten(1000);
    }
    peer->write(fileStream());
    while (peer->bytesToWrite() > 0 && peer->waitForBytesWritten(1000)) {
    }
    written = true;
    // Stays connected until the window has read it all.
    peer->waitForDisconnected(600000);
}

struct Result
{
    qint64 idleKiB = 0;
    qint64 peakKiB = 0;
    qint64 endKiB = 0;
    qint64 worstStallMs = 0;
    double seconds = 0;
    bool fileLogged = false;
};

bool fileLogged(const MainWindow &window)
{
    const QString log = window.findChild<QTextEdit *>(QStringLiteral("textEdit"))->toPlainText();
    return log.contains(QString::fromUtf8("接收完成!\n文件接收大小:") +
                        QString::number(FileContents.size()));
}

Result flood(qint64 bytes, bool lineBreaks, const QString &receiveDir)
{
    Result result;
    std::atomic<bool> listening{false};
    std::atomic<bool> written{false};
    std::thread peer(floodPeer, bytes, lineBreaks, std::ref(listening), std::ref(written));
    Bench::waitUntil([&listening] { return listening.load(); }, 10000);
    {
        QSettings settings(settingsPath(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("saveFilePath"), receiveDir);
        settings.setValue(QStringLiteral("socketType"), QStringLiteral("client"));
        settings.setValue(QStringLiteral("serverAddress"), QStringLiteral("127.0.0.1"));
    }
    malloc_trim(0);
    Bench::RssSampler rss;
    {
        MainWindow window;
        window.show();
        // Idle: built, shown, connected; the flood starts on connection,
        // so the reading is taken as soon as the window is up.
        QCoreApplication::processEvents();
        rss.start();
        std::atomic<bool> sampling{true};
        std::thread sampler([&] {
            while (sampling) {
                rss.sample();
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        QElapsedTimer clock;
        clock.start();
        QElapsedTimer sinceTick;
        sinceTick.start();
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            result.worstStallMs = qMax(result.worstStallMs, sinceTick.restart() - 10);
        });
        ticker.start(10);
        // Connected after the window: runs once the window has handled it.
        std::atomic<bool> ended{false};
        QObject::connect(window.worker(), &sendThread::sendRecState, &window,
                         [&ended](int code) { ended = ended || code == RecDone; });
        Bench::waitUntil([&] { return written && ended; }, 600000);
        result.seconds = clock.elapsed() / 1000.0;
        result.fileLogged = fileLogged(window);
        ticker.stop();
        sampling = false;
        sampler.join();
        result.endKiB = Bench::statusKiB("VmRSS") - rss.idleKiB;
    }
    result.idleKiB = rss.idleKiB;
    result.peakKiB = rss.peakKiB - rss.idleKiB;
    peer.join();
    QFile::remove(settingsPath());
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Bench::silenceDebugOutput();
    if (qgetenv("KVR_IN_NETNS") != "1") {
        std::fprintf(stderr, "run it through scripts/netns-run\n");
        return 2;
    }
    const QStringList arguments = app.arguments();
    const qint64 sizeMiB = Bench::option(arguments, "--size", 1024);
    const QString only = Bench::textOption(arguments, "--only", QString());
    QTemporaryDir receiveDir;
    std::printf("%lld MiB of controller text, then one %d-byte file\n",
                static_cast<long long>(sizeMiB), int(FileContents.size()));
    std::printf("%-6s %9s %12s %11s %10s %8s %s\n", "text", "idle MiB", "peak-idle MiB",
                "end-idle MiB", "stall ms", "s", "file logged");
    for (const bool lineBreaks : {true, false}) {
        if (!only.isEmpty() && only != QLatin1String(lineBreaks ? "lines" : "flat"))
            continue;
        const Result r = flood(sizeMiB * MiB, lineBreaks, receiveDir.path());
        std::printf("%-6s %9.1f %12.1f %11.1f %10lld %8.1f %s\n", lineBreaks ? "lines" : "flat",
                    r.idleKiB / 1024.0, r.peakKiB / 1024.0, r.endKiB / 1024.0,
                    static_cast<long long>(r.worstStallMs), r.seconds, r.fileLogged ? "yes" : "NO");
        std::fflush(stdout);
    }
    return 0;
}
