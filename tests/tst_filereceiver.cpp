#include "faildevice.h"
#include "testfiles.h"
#include "transfer/filereceiver.h"
#include "transfer/protocol.h"
#include "transfer/transfercodes.h"
#include "transfer/transferevents.h"

#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <unistd.h>
#endif

using namespace TestFiles;

namespace {

// A receiver writing into a temporary directory, recording every code and
// the event of the last end code.
struct Harness
{
    explicit Harness(const QString &directory = QString(), ReceiveDisk disk = {})
        : dirPath(directory.isNull() ? dir.path() : directory),
          receiver([this] { return dirPath; },
                   [this](int code, const FileReceiver &r) {
                       codes << code;
                       if (code == RecRawData)
                           raw += r.lastRawData();
                       if (endsReception(code))
                           ended = ReceiveEvent::of(code, r);
                   },
                   std::move(disk))
    {}

    void feed(const QList<QByteArray> &chunks)
    {
        for (const QByteArray &chunk : chunks)
            receiver.feed(chunk, now);
    }
    void stall() { receiver.poll(now += FrameParser::TimeoutMs + 1); }
    QString path(const QString &name) const { return dirPath + QLatin1Char('/') + name; }
    QStringList entries() const
    {
        return QDir(dirPath).entryList(QDir::Files | QDir::System | QDir::Hidden);
    }
    // The one file the receptions left, final or partial.
    QByteArray onlyFile() const
    {
        const QStringList files = entries();
        return files.size() == 1 ? readFile(path(files.first())) : QByteArray("several");
    }

    QTemporaryDir dir;
    QString dirPath;
    QList<int> codes;
    QByteArray raw;
    ReceiveEvent ended;
    qint64 now = 0;
    FileReceiver receiver;
};

// How a controller reaches one of the program's files.
enum class Spelling {
    AsIs,
    FolderInOtherCase,   // Windows: the program's folder in upper case
    FolderOtherwise,     // Windows: its 8.3 form; elsewhere through a link
    ShortNameOfKeptFile, // Windows: the 8.3 name of one the program keeps
    HardLinkToLibrary,   // another name of the same file
};

#ifdef Q_OS_WIN
// The 8.3 form, or the path itself on a file system that keeps none.
QString shortPath(const QString &path)
{
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    wchar_t buffer[MAX_PATH];
    const DWORD length = GetShortPathNameW(native.c_str(), buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return path;
    return QDir::fromNativeSeparators(QString::fromWCharArray(buffer, int(length)));
}
#endif

bool hardLink(const QString &existing, const QString &link)
{
#ifdef Q_OS_WIN
    return CreateHardLinkW(QDir::toNativeSeparators(link).toStdWString().c_str(),
                           QDir::toNativeSeparators(existing).toStdWString().c_str(), nullptr) != 0;
#else
    return ::link(QFile::encodeName(existing).constData(), QFile::encodeName(link).constData()) ==
           0;
#endif
}

// One of the program's files, as the receiver is told to reach it; what was
// made for it goes again.
struct ReachedFile
{
    ~ReachedFile()
    {
        for (const QString &path : made)
            QFile::remove(path);
    }
    // Makes path, unless it is there, and removes it afterwards.
    bool make(const QString &path, const QByteArray &contents)
    {
        if (QFileInfo::exists(path))
            return true;
        made << path;
        return writeFile(path, contents);
    }

    QString directory; // the receive folder
    QString name;      // as the controller sends it
    QString target;    // the program's file that must stay as it was
    QStringList made;
    QTemporaryDir links;
};

QByteArray allMarkers()
{
    return Protocol::startMarker() + Protocol::sizeMarker() + "12" + Protocol::sizeEndMarker() +
           Protocol::md5Marker() + md5Hex("x") + Protocol::md5EndMarker() + "tail" +
           Protocol::endMarker() + Protocol::endMarker().left(9);
}

} // namespace

Q_DECLARE_METATYPE(Spelling)
Q_DECLARE_METATYPE(WriteFailure)

class tst_FileReceiver : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void severalFilesInOneStream();
    void announcedHeader_data();
    void announcedHeader();
    void hostileNames_data();
    void hostileNames();
    void programFilesAreNeverReplaced_data();
    void programFilesAreNeverReplaced();
    void createFailureDiscardsRestQuietly();
    void writeFailure_data();
    void writeFailure();
    void existingFilesAreNeverWrittenThrough_data();
    void existingFilesAreNeverWrittenThrough();
    void failedTransferKeepsExistingFile_data();
    void failedTransferKeepsExistingFile();
    void successReplacesExistingFile();
    void existingFileRule_data();
    void existingFileRule();
    void verifiedFileIsKeptWhenItCannotTakeItsName_data();
    void verifiedFileIsKeptWhenItCannotTakeItsName();
    void emptyDirectoryMeansApplicationDirectory();
    void destroyedWhileReceivingKeepsPartial();
    void statistics();
};

void tst_FileReceiver::roundTrip_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<bool>("withMd5");
    QTest::addColumn<int>("chunkSize"); // 0: random splits

    const QList<QPair<const char *, QByteArray>> files = {
        {"empty", QByteArray()},
        {"1 byte", QByteArray("\xe7", 1)},
        {"11999", randomBytes(11999, 11)},
        {"12000", randomBytes(12000, 12)},
        {"12001", randomBytes(12001, 13)},
        {"markers", allMarkers() + randomBytes(3000, 14) + allMarkers()},
        {"5 MiB", randomBytes(5 << 20, 15)},
    };
    for (const auto &file : files) {
        for (bool withMd5 : {true, false}) {
            // Without the MD5 section the first end marker ends the contents.
            if (!withMd5 && file.second.contains(Protocol::endMarker()))
                continue;
            for (int chunk : {1, 17, 140, 12000, 0}) {
                if (chunk < 100 && file.second.size() > (1 << 20))
                    continue; // a byte at a time through the disk proves no more than 17
                QTest::newRow(
                    qPrintable(QStringLiteral("%1 %2 chunk %3")
                                   .arg(QLatin1String(file.first))
                                   .arg(withMd5 ? QLatin1String("md5") : QLatin1String("plain"))
                                   .arg(chunk)))
                    << file.second << withMd5 << chunk;
            }
        }
    }
}

// Whatever the chunking, the file on disk equals the original and the codes
// come as RecStarted, RecProgress..., RecDone.
void tst_FileReceiver::roundTrip()
{
    QFETCH(QByteArray, contents);
    QFETCH(bool, withMd5);
    QFETCH(int, chunkSize);
    Harness h;
    const QByteArray stream = framed(QStringLiteral("文件.bin"), contents, withMd5);
    h.feed(chunkSize ? chunked(stream, chunkSize) : randomlyChunked(stream, 7, 20000));

    QCOMPARE(readFile(h.path(QStringLiteral("文件.bin"))), contents);
    QCOMPARE(h.entries(), QStringList{QStringLiteral("文件.bin")});
    QVERIFY(h.codes.size() >= 2);
    QCOMPARE(h.codes.first(), int(RecStarted));
    QCOMPARE(h.codes.last(), int(RecDone));
    QCOMPARE(h.codes.count(RecProgress), h.codes.size() - 2);
    QCOMPARE(h.receiver.fileBytes(), quint64(contents.size()));
    QCOMPARE(h.receiver.totalBytes(), quint64(stream.size()));
    QVERIFY(!h.receiver.sizeMismatch());
}

void tst_FileReceiver::severalFilesInOneStream()
{
    Harness h;
    const QByteArray a = randomBytes(20000, 1), b = randomBytes(10, 2);
    h.feed(
        {framed(QStringLiteral("a"), a) + Protocol::greeting() + framed(QStringLiteral("b"), b)});
    QCOMPARE(h.codes, (QList<int>{RecStarted, RecDone, RecRawData, RecStarted, RecDone}));
    QCOMPARE(h.raw, Protocol::greeting());
    QCOMPARE(readFile(h.path(QStringLiteral("a"))), a);
    QCOMPARE(readFile(h.path(QStringLiteral("b"))), b);
}

void tst_FileReceiver::announcedHeader_data()
{
    QTest::addColumn<QByteArray>("md5Field");
    QTest::addColumn<int>("overAnnounced");
    QTest::addColumn<int>("endCode");
    QTest::addColumn<QByteArray>("announced"); // as the end event carries it
    const QByteArray md5 = md5Hex(randomBytes(18, 7));
    const QByteArray other = md5Hex("other");
    QTest::newRow("31 hex digits") << md5.left(31) << 0 << int(RecMd5Mismatch) << QByteArray();
    QTest::newRow("33 hex digits") << md5 + "a" << 0 << int(RecMd5Mismatch) << QByteArray();
    QTest::newRow("not hex") << "x" + md5.mid(1) << 0 << int(RecMd5Mismatch) << QByteArray();
    QTest::newRow("empty") << QByteArray() << 0 << int(RecMd5Mismatch) << QByteArray();
    QTest::newRow("another file's") << other << 0 << int(RecMd5Mismatch) << other;
    QTest::newRow("upper case") << md5.toUpper() << 0 << int(RecDone) << md5;
    QTest::newRow("size over-announced") << md5 << 1000 << int(RecDone) << md5;
}

// A digest that cannot be checked fails the file, its section never
// reaches the file, and what follows the end marker is not swallowed. A
// failed digest's event carries both digests.
void tst_FileReceiver::announcedHeader()
{
    QFETCH(QByteArray, md5Field);
    QFETCH(int, overAnnounced);
    QFETCH(int, endCode);
    QFETCH(QByteArray, announced);
    const QByteArray contents = randomBytes(18, 7);
    Harness h;
    const QByteArray stream = Protocol::startMarker() + "m.bin" + Protocol::sizeMarker() +
                              QByteArray::number(contents.size() + overAnnounced) +
                              Protocol::sizeEndMarker() + Protocol::md5Marker() + md5Field +
                              Protocol::md5EndMarker() + contents + Protocol::endMarker() +
                              Protocol::greeting();
    h.feed({stream});
    QCOMPARE(h.codes, (QList<int>{RecStarted, endCode, RecRawData}));
    QCOMPARE(h.raw, Protocol::greeting());
    QCOMPARE(h.onlyFile(), contents);
    QCOMPARE(h.ended.md5Hex, announced);
    QCOMPARE(h.ended.computedMd5Hex, endCode == RecMd5Mismatch ? md5Hex(contents) : QByteArray());
}

void tst_FileReceiver::hostileNames_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("stored"); // empty: refused
    QTest::newRow("parent reference")
        << QByteArray("../escape.txt") << QStringLiteral("escape.txt");
    QTest::newRow("absolute") << QByteArray("/tmp/abs.txt") << QStringLiteral("abs.txt");
    QTest::newRow("windows path") << QByteArray("..\\..\\win.txt") << QStringLiteral("win.txt");
    QTest::newRow("dotdot") << QByteArray("..") << QString();
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("directory") << QByteArray("sub/") << QString();
    QTest::newRow("nul ends the name") << QByteArray("ok\0.txt", 7) << QStringLiteral("ok");
    QTest::newRow("nul padding") << QByteArray("a.txt\0\0\0\0", 9) << QStringLiteral("a.txt");
    QTest::newRow("only nul") << QByteArray("\0", 1) << QString();
    QTest::newRow("252 bytes") << QString(84, QChar(0x6587)).toUtf8() << QString(84, QChar(0x6587));
    QTest::newRow("drive") << QByteArray("C:") << QString();
}

// Nothing is ever created outside the receive directory.
void tst_FileReceiver::hostileNames()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, stored);
    QTemporaryDir root;
    const QString inner = root.path() + QStringLiteral("/a/b");
    QVERIFY(QDir().mkpath(inner));
    Harness h(inner);
    const QByteArray stream = Protocol::startMarker() + name + Protocol::sizeMarker() + "2" +
                              Protocol::sizeEndMarker() + "hi" + Protocol::endMarker();
    h.feed({stream + Protocol::greeting()});

    if (stored.isEmpty()) {
        QCOMPARE(h.codes, (QList<int>{RecCreateFailed, RecRawData}));
        QCOMPARE(h.entries(), QStringList());
    } else {
        QCOMPARE(h.codes, (QList<int>{RecStarted, RecDone, RecRawData}));
        QCOMPARE(h.entries(), QStringList{stored});
    }
    QCOMPARE(h.raw, Protocol::greeting());
    QCOMPARE(QDir(root.path()).entryList(QDir::Files), QStringList());
    QCOMPARE(QDir(root.path() + QStringLiteral("/a")).entryList(QDir::Files), QStringList());
}

void tst_FileReceiver::programFilesAreNeverReplaced_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<Spelling>("spelling");
    QTest::addColumn<bool>("refused");
    const QString program = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    const Spelling asIs = Spelling::AsIs;
    QTest::newRow("the program itself") << program << asIs << true;
    QTest::newRow("a sibling program") << QStringLiteral("kvr-transfer") << asIs << true;
    QTest::newRow("a library") << QStringLiteral("Qt5Core.dll") << asIs << true;
    QTest::newRow("a shared object") << QStringLiteral("libkvr.so.5") << asIs << true;
    QTest::newRow("qt.conf") << QStringLiteral("qt.conf") << asIs << true;
    QTest::newRow("settings") << QStringLiteral("settings.ini") << asIs << true;
    QTest::newRow("portable marker") << QStringLiteral("portable.txt") << asIs << true;
    QTest::newRow("history") << QStringLiteral("history.csv") << asIs << true;
    QTest::newRow("plugin folder") << QStringLiteral("platforms") << asIs << true;
    QTest::newRow("any other name") << QStringLiteral("program-notes.txt") << asIs << false;
    // A folder that ignores case, as on Windows, finds them under any case.
    QTest::newRow("a library whatever the case") << QStringLiteral("QT5CORE.Dll") << asIs << true;
    QTest::newRow("a kept file whatever the case") << QStringLiteral("QT.CONF") << asIs << true;
#ifdef Q_OS_WIN
    QTest::newRow("the folder in another case")
        << QStringLiteral("kvr-transfer.exe") << Spelling::FolderInOtherCase << true;
    QTest::newRow("the folder in its 8.3 form")
        << QStringLiteral("kvr-transfer.exe") << Spelling::FolderOtherwise << true;
    QTest::newRow("the 8.3 name of a kept file")
        << QStringLiteral("history.1.csv") << Spelling::ShortNameOfKeptFile << true;
#else
    QTest::newRow("the folder through a link")
        << QStringLiteral("kvr-transfer") << Spelling::FolderOtherwise << true;
#endif
    QTest::newRow("a hard link to a library")
        << QStringLiteral("kvr-identity.dll") << Spelling::HardLinkToLibrary << true;
}

// A portable copy may receive beside itself, but a controller must never be
// able to replace the program, its libraries or the files it keeps there,
// whichever spelling of the folder or the name reaches them.
void tst_FileReceiver::programFilesAreNeverReplaced()
{
    QFETCH(QString, name);
    QFETCH(Spelling, spelling);
    QFETCH(bool, refused);
    const QString programDir = QCoreApplication::applicationDirPath();
    const QString pluginDir = programDir + QStringLiteral("/platforms");
    QVERIFY(QDir().mkpath(pluginDir));
    ReachedFile reached;
    reached.directory = programDir;
    reached.name = name;
    reached.target = programDir + QLatin1Char('/') + name;
    switch (spelling) {
    case Spelling::AsIs:
        break;
    case Spelling::FolderInOtherCase:
        reached.directory = programDir.toUpper();
        break;
    case Spelling::FolderOtherwise:
#ifdef Q_OS_WIN
        reached.directory = shortPath(programDir);
        if (reached.directory == programDir)
            QSKIP("this file system keeps no 8.3 names");
#else
        reached.directory = reached.links.filePath(QStringLiteral("program"));
        QVERIFY(QFile::link(programDir, reached.directory));
#endif
        break;
    case Spelling::ShortNameOfKeptFile:
#ifdef Q_OS_WIN
        QVERIFY(reached.make(reached.target, "kept"));
        reached.name = QFileInfo(shortPath(reached.target)).fileName();
        if (reached.name == name)
            QSKIP("this file system keeps no 8.3 names");
#endif
        break;
    case Spelling::HardLinkToLibrary:
        QVERIFY(reached.make(reached.target, "library"));
        reached.name = QStringLiteral("kvr-identity-notes.txt");
        reached.made << programDir + QLatin1Char('/') + reached.name;
        QVERIFY(hardLink(reached.target, reached.made.last()));
        break;
    }
    const bool existed = QFileInfo::exists(reached.target);
    const QByteArray before =
        QFileInfo(reached.target).isFile() ? readFile(reached.target) : QByteArray();
    Harness h(reached.directory);
    h.feed({framed(reached.name, "from the controller")});
    const QByteArray after =
        QFileInfo(reached.target).isFile() ? readFile(reached.target) : QByteArray();
    if (!existed)
        QFile::remove(reached.target);
    QDir().rmdir(pluginDir);

    const QList<int> codes =
        refused ? QList<int>{RecCreateFailed} : QList<int>{RecStarted, RecDone};
    QCOMPARE(h.codes, codes);
    QCOMPARE(h.receiver.programFileRefused(), refused);
    QCOMPARE(after, refused ? before : QByteArray("from the controller"));
}

// The rest of a transfer whose file could not be created does not flood the
// log as raw data; what follows it does show.
void tst_FileReceiver::createFailureDiscardsRestQuietly()
{
    Harness h(QStringLiteral("/nonexistent-kvr-dir/x"));
    const QByteArray stream = framed(QStringLiteral("f"), randomBytes(100000, 3), false);
    h.feed(chunked(stream + Protocol::greeting(), 12000));
    QCOMPARE(h.codes, (QList<int>{RecCreateFailed, RecRawData}));
    QCOMPARE(h.raw, Protocol::greeting());

    // A pause of more than 1000 ms ends the discarding too.
    h.codes.clear();
    h.feed({Protocol::buildHeader(QStringLiteral("g"), 5, QByteArray()) + "abc"});
    h.stall();
    h.feed({Protocol::greeting()});
    QCOMPARE(h.codes, (QList<int>{RecCreateFailed, RecRawData}));
}

void tst_FileReceiver::writeFailure_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<qint64>("failAfter"); // bytes the disk takes; -1: all
    QTest::addColumn<qint64>("freeBytes"); // with diskBytes; -1: the disk's own figures
    QTest::addColumn<qint64>("diskBytes");
    QTest::addColumn<int>("endCode");
    QTest::addColumn<WriteFailure>("failure");

    const int size = 100000;
    const int margin = 64 * 1024; // over 1 % of the size
    const QByteArray plain = Protocol::buildHeader(QStringLiteral("w"), size, QByteArray());
    const QByteArray digest =
        Protocol::buildHeader(QStringLiteral("w"), size, md5Hex(noise(size, 4)));
    const qint64 MiB = 1024 * 1024;
    const QByteArray small = framed(QStringLiteral("w"), randomBytes(50000, 4));
    QTest::newRow("the disk fills up") << small << qint64(20000) << qint64(-1) << qint64(-1)
                                       << int(RecWriteFailed) << WriteFailure::Disk;
    QTest::newRow("the disk refuses the first write")
        << small << qint64(0) << qint64(-1) << qint64(-1) << int(RecWriteFailed)
        << WriteFailure::Disk;
    QTest::newRow("past the size announced, without an end marker")
        << plain + noise(size + margin + 1, 4) << qint64(-1) << qint64(-1) << qint64(-1)
        << int(RecWriteFailed) << WriteFailure::PastAnnouncedSize;
    QTest::newRow("past the size announced with a digest")
        << digest + noise(size + margin + 1, 4) << qint64(-1) << qint64(-1) << qint64(-1)
        << int(RecWriteFailed) << WriteFailure::PastAnnouncedSize;
    QTest::newRow("as far past the size as the margin allows")
        << plain + noise(size + margin, 4) + Protocol::endMarker() << qint64(-1) << qint64(-1)
        << qint64(-1) << int(RecDone) << WriteFailure::None;
    QTest::newRow("the last free space of a large disk")
        << small << qint64(-1) << 256 * MiB << 1024 * 1024 * MiB << int(RecWriteFailed)
        << WriteFailure::FreeSpace;
    QTest::newRow("a small disk keeps 1 % free")
        << small << qint64(-1) << 20 * MiB << 1024 * MiB << int(RecDone) << WriteFailure::None;
}

// A reception that cannot be stored ends: the partial is removed so that it
// does not keep the disk full, the rest of the transfer is discarded, and
// the receiver says why.
void tst_FileReceiver::writeFailure()
{
    QFETCH(QByteArray, stream);
    QFETCH(qint64, failAfter);
    QFETCH(qint64, freeBytes);
    QFETCH(qint64, diskBytes);
    QFETCH(int, endCode);
    QFETCH(WriteFailure, failure);
    ReceiveDisk disk = failAfter >= 0 ? failingDisk(failAfter) : ReceiveDisk();
    if (diskBytes > 0)
        disk.freeSpace = [=](const QString &) { return ReceiveDisk::Space{freeBytes, diskBytes}; };
    Harness h(QString(), disk);
    h.feed(chunked(stream + Protocol::greeting(), 12000));
    QList<int> endCodes;
    for (int code : qAsConst(h.codes)) {
        if (endsReception(code))
            endCodes << code;
    }
    QCOMPARE(h.codes.first(), int(RecStarted));
    QCOMPARE(endCodes, QList<int>{endCode});
    QCOMPARE(h.receiver.writeFailure(), failure);
    QCOMPARE(h.entries(), endCode == RecDone ? QStringList{QStringLiteral("w")} : QStringList());
    const bool ended = stream.contains(Protocol::endMarker());
    QCOMPARE(h.raw, ended ? Protocol::greeting() : QByteArray());
}

void tst_FileReceiver::existingFilesAreNeverWrittenThrough_data()
{
    QTest::addColumn<QString>("existing");
    QTest::addColumn<bool>("link");
    QTest::newRow("a browser's partial download") << QStringLiteral("f.part") << false;
    QTest::newRow("link under the partial's name") << QStringLiteral("f.part") << true;
    QTest::newRow("link under the target's name") << QStringLiteral("f") << true;
}

// Files and links that are there already, such as a browser's partial
// download, are never opened: the received file replaces the target.
void tst_FileReceiver::existingFilesAreNeverWrittenThrough()
{
    QFETCH(QString, existing);
    QFETCH(bool, link);
#ifdef Q_OS_WIN
    if (link)
        QSKIP("QFile::link makes a shortcut file on Windows, not a link to follow");
#endif
    QTemporaryDir outside;
    const QString outsideFile = outside.filePath(QStringLiteral("victim"));
    QVERIFY(writeFile(outsideFile, "outside"));
    Harness h;
    if (link)
        QVERIFY(QFile::link(outsideFile, h.path(existing)));
    else
        QVERIFY(writeFile(h.path(existing), "unrelated"));
    h.feed({framed(QStringLiteral("f"), "received")});
    QCOMPARE(h.codes, (QList<int>{RecStarted, RecDone}));
    QCOMPARE(readFile(h.path(QStringLiteral("f"))), QByteArray("received"));
    QVERIFY(!QFileInfo(h.path(QStringLiteral("f"))).isSymLink());
    QCOMPARE(readFile(outsideFile), QByteArray("outside"));
    if (existing != QLatin1String("f"))
        QCOMPARE(readFile(h.path(existing)),
                 link ? QByteArray("outside") : QByteArray("unrelated"));
}

void tst_FileReceiver::failedTransferKeepsExistingFile_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<bool>("stall");
    QTest::addColumn<int>("endCode");
    const QByteArray contents = randomBytes(30000, 5);
    QTest::newRow("timeout") << framed(QStringLiteral("f"), contents).left(20000) << true
                             << int(RecTimeout);
    QTest::newRow("md5 mismatch") << Protocol::buildHeader(QStringLiteral("f"), 30000,
                                                           md5Hex("other")) +
                                         contents + Protocol::endMarker()
                                  << false << int(RecMd5Mismatch);
}

void tst_FileReceiver::failedTransferKeepsExistingFile()
{
    QFETCH(QByteArray, stream);
    QFETCH(bool, stall);
    QFETCH(int, endCode);
    Harness h;
    QVERIFY(writeFile(h.path(QStringLiteral("f")), "older"));
    h.feed(chunked(stream, 12000));
    if (stall)
        h.stall();
    QCOMPARE(h.codes.last(), endCode);
    QCOMPARE(readFile(h.path(QStringLiteral("f"))), QByteArray("older"));
    QCOMPARE(h.entries().size(), 2);
    const QByteArray partial = readFile(h.receiver.partPath());
    QCOMPARE(quint64(partial.size()), h.receiver.fileBytes());
    QVERIFY(partial.size() > 0);
}

void tst_FileReceiver::successReplacesExistingFile()
{
    Harness h;
    QVERIFY(writeFile(h.path(QStringLiteral("f")), "older and longer"));
    h.feed({framed(QStringLiteral("f"), "new")});
    QCOMPARE(readFile(h.path(QStringLiteral("f"))), QByteArray("new"));
    QCOMPARE(h.entries(), QStringList{QStringLiteral("f")});
    // Not the owner-only permissions of a temporary file.
    QTemporaryDir other;
    QVERIFY(writeFile(other.filePath(QStringLiteral("plain")), "plain"));
    QCOMPARE(QFileInfo(h.path(QStringLiteral("f"))).permissions(),
             QFileInfo(other.filePath(QStringLiteral("plain"))).permissions());
}

void tst_FileReceiver::existingFileRule_data()
{
    QTest::addColumn<int>("rule");
    QTest::addColumn<bool>("withMd5");
    QTest::addColumn<bool>("identical");
    QTest::addColumn<bool>("replaced"); // else the older file stays as it was
    QTest::addColumn<QString>("newFileAs");
    QTest::addColumn<int>("existing");

    const QString own = QStringLiteral("f.txt");
    const QString beside = QStringLiteral("f (1).txt");
    const struct
    {
        const char *name;
        ExistingFiles rule;
    } rules[] = {{"overwrite", ExistingFiles::Overwrite},
                 {"keep-both", ExistingFiles::KeepBoth},
                 {"skip-identical", ExistingFiles::SkipIdentical}};
    for (const auto &r : rules) {
        for (const bool withMd5 : {true, false}) {
            for (const bool identical : {true, false}) {
                bool replaced = r.rule == ExistingFiles::Overwrite;
                QString as = replaced ? own : beside;
                ExistingFile existing = replaced ? ExistingFile::Replaced : ExistingFile::KeptBoth;
                if (r.rule == ExistingFiles::SkipIdentical && !withMd5) {
                    existing = ExistingFile::KeptBothUnverified;
                } else if (r.rule == ExistingFiles::SkipIdentical) {
                    replaced = !identical;
                    as = own;
                    existing = identical ? ExistingFile::Identical : ExistingFile::Replaced;
                }
                QTest::addRow("%s, %s, %s", r.name, withMd5 ? "with md5" : "without",
                              identical ? "identical" : "different")
                    << int(r.rule) << withMd5 << identical << replaced << as << int(existing);
            }
        }
    }
}

// The older file is never lost: it goes only for a verified file that
// differs, and a file without a digest cannot be called identical.
void tst_FileReceiver::existingFileRule()
{
    QFETCH(int, rule);
    QFETCH(bool, withMd5);
    QFETCH(bool, identical);
    QFETCH(bool, replaced);
    QFETCH(QString, newFileAs);
    QFETCH(int, existing);
    const QByteArray older = randomBytes(3000, 7);
    const QByteArray newer = identical ? older : randomBytes(3000, 8);
    Harness h;
    const QString target = h.path(QStringLiteral("f.txt"));
    QVERIFY(writeFile(target, older));
    h.receiver.setExistingFiles(ExistingFiles(rule));
    h.feed(chunked(framed(QStringLiteral("f.txt"), newer, withMd5), 1000));
    QCOMPARE(h.codes.last(), int(RecDone));
    QCOMPARE(int(h.ended.existing), existing);
    QCOMPARE(h.receiver.filePath(), h.path(newFileAs));
    QCOMPARE(readFile(h.receiver.filePath()), newer);
    QCOMPARE(readFile(target), replaced ? newer : older);
    QCOMPARE(h.entries().size(), newFileAs == QLatin1String("f.txt") ? 1 : 2);
}

void tst_FileReceiver::verifiedFileIsKeptWhenItCannotTakeItsName_data()
{
    QTest::addColumn<QString>("blocker"); // what holds the name
    QTest::addColumn<int>("depth");       // folders between the receive folder and the file
    QTest::addColumn<QString>("storedAs");

    QTest::newRow("a folder of that name")
        << QStringLiteral("folder") << 0 << QStringLiteral("f (1).bin");
    QTest::newRow("a folder, and the first free name taken")
        << QStringLiteral("folder and f (1).bin") << 0 << QStringLiteral("f (2).bin");
#ifdef Q_OS_WIN
    // An editor that holds the old file open without letting it be deleted.
    QTest::newRow("open elsewhere") << QStringLiteral("open") << 0 << QStringLiteral("f (1).bin");
#endif
    // Past the 260 characters of a plain Windows path.
    QTest::newRow("a long path") << QString() << 12 << QStringLiteral("f.bin");
}

// A file that arrived whole and verified is never deleted because its name
// is taken: it goes under a free name beside it instead.
void tst_FileReceiver::verifiedFileIsKeptWhenItCannotTakeItsName()
{
    QFETCH(QString, blocker);
    QFETCH(int, depth);
    QFETCH(QString, storedAs);
    QTemporaryDir root;
    QString dir = root.path();
    for (int i = 0; i < depth; ++i)
        dir += QStringLiteral("/folder-with-a-long-name-%1").arg(i);
    QVERIFY(QDir().mkpath(dir));
    QVERIFY(dir.size() + 6 > 260 || depth == 0);
    if (blocker.startsWith(QLatin1String("folder")))
        QVERIFY(QDir(dir).mkpath(QStringLiteral("f.bin/inside")));
    if (blocker.endsWith(QLatin1String("f (1).bin")))
        QVERIFY(writeFile(dir + QStringLiteral("/f (1).bin"), "someone else's"));
    QFile held(dir + QStringLiteral("/f.bin"));
    if (blocker == QLatin1String("open"))
        QVERIFY(held.open(QIODevice::WriteOnly));

    Harness h(dir);
    h.feed({framed(QStringLiteral("f.bin"), "verified")});
    QCOMPARE(h.codes.last(), int(RecDone));
    QCOMPARE(h.receiver.filePath(), dir + QLatin1Char('/') + storedAs);
    QCOMPARE(readFile(h.receiver.filePath()), QByteArray("verified"));
}

void tst_FileReceiver::emptyDirectoryMeansApplicationDirectory()
{
    Harness h(QStringLiteral(""));
    const QString name =
        QStringLiteral("kvr-empty-dir-%1.tmp").arg(QCoreApplication::applicationPid());
    h.feed({framed(name, "here")});
    const QString expected = QCoreApplication::applicationDirPath() + QLatin1Char('/') + name;
    QCOMPARE(readFile(expected), QByteArray("here"));
    QFile::remove(expected);
    QCOMPARE(h.codes, (QList<int>{RecStarted, RecDone}));
}

void tst_FileReceiver::destroyedWhileReceivingKeepsPartial()
{
    QTemporaryDir dir;
    QList<int> codes;
    QString partial;
    {
        FileReceiver receiver([&] { return dir.path(); },
                              [&](int code, const FileReceiver &) { codes << code; });
        receiver.feed(framed(QStringLiteral("p"), randomBytes(5000, 6)).left(3000), 0);
        partial = receiver.partPath();
    }
    QCOMPARE(codes, QList<int>{RecStarted});
    QVERIFY(QFileInfo(partial).size() > 0);
    QCOMPARE(QFileInfo(partial).path(), dir.path());
    QVERIFY(!QFileInfo::exists(dir.path() + QStringLiteral("/p")));
}

void tst_FileReceiver::statistics()
{
    Harness h;
    const QByteArray header = Protocol::buildHeader(QStringLiteral("s"), 12345, QByteArray());
    h.feed({header + "abc"});
    QCOMPARE(h.receiver.announcedSize(), quint64(12345));
    QCOMPARE(h.receiver.fileBytes(), quint64(3));
    QCOMPARE(h.receiver.totalBytes(), quint64(header.size() + 3));
    h.feed({"defg"});
    QCOMPARE(h.codes, (QList<int>{RecStarted, RecProgress}));
    QCOMPARE(h.receiver.fileBytes(), quint64(7));
    // A refused file reports its own figures, none of the last file's.
    h.feed({Protocol::endMarker()});
    QVERIFY(h.receiver.sizeMismatch());
    h.dirPath = QStringLiteral("/nonexistent-kvr-dir");
    h.feed({framed(QStringLiteral("t"), "xyz")});
    QCOMPARE(h.codes.last(), int(RecCreateFailed));
    QCOMPARE(h.receiver.announcedSize(), quint64(3));
    QCOMPARE(h.receiver.fileBytes(), quint64(0));
    QCOMPARE(h.receiver.totalBytes(),
             quint64(Protocol::buildHeader(QStringLiteral("t"), 3, md5Hex("xyz")).size()));
    QVERIFY(!h.receiver.sizeMismatch());
}

QTEST_GUILESS_MAIN(tst_FileReceiver)
#include "tst_filereceiver.moc"
