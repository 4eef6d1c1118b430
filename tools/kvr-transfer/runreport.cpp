#include "runreport.h"

#include "kvrversion.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QXmlStreamWriter>

#include <functional>

namespace {

double seconds(qint64 ms)
{
    return double(ms) / 1000.0;
}

// Each planned file, with how far it came: a file after a failure was
// never sent.
QJsonArray targetFiles(const TargetResult &result, const QList<PlannedFile> &files)
{
    QJsonArray array;
    for (int at = 0; at < files.size(); ++at) {
        const PlannedFile &planned = files[at];
        const bool ended = at < result.files.size();
        const TransferRecord record = ended ? result.files[at] : TransferRecord();
        array.append(QJsonObject{
            {QStringLiteral("name"), planned.name},
            {QStringLiteral("bytes"), double(record.bytes)},
            {QStringLiteral("md5"), QString::fromLatin1(planned.md5Hex)},
            {QStringLiteral("outcome"), ended ? record.outcome : QStringLiteral("not-sent")},
            {QStringLiteral("seconds"), seconds(record.ms)}});
    }
    return array;
}

QJsonObject targetJson(const TargetResult &result, const QList<PlannedFile> &files)
{
    return {{QStringLiteral("target"), result.target.address()},
            {QStringLiteral("host"), result.target.host},
            {QStringLiteral("port"), result.target.port},
            {QStringLiteral("label"), result.target.label},
            {QStringLiteral("status"), result.status},
            {QStringLiteral("exitCode"), result.exitCode},
            {QStringLiteral("error"), result.error},
            {QStringLiteral("bytes"), double(result.bytes())},
            {QStringLiteral("seconds"), seconds(result.ms)},
            {QStringLiteral("files"), targetFiles(result, files)}};
}

QJsonObject reportJson(const RunReport::Run &run)
{
    QJsonArray files;
    for (const PlannedFile &file : run.files)
        files.append(QJsonObject{{QStringLiteral("name"), file.name},
                                 {QStringLiteral("path"), file.path},
                                 {QStringLiteral("size"), double(file.size)},
                                 {QStringLiteral("md5"), QString::fromLatin1(file.md5Hex)}});
    QJsonArray targets;
    for (const TargetResult &result : run.results)
        targets.append(targetJson(result, run.files));
    return {
        {QStringLiteral("tool"), QStringLiteral("kvr-transfer " KVR_VERSION)},
        {QStringLiteral("finished"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
        {QStringLiteral("dryRun"), run.dryRun},
        {QStringLiteral("exitCode"), run.exitCode},
        {QStringLiteral("files"), files},
        {QStringLiteral("targets"), targets},
        {QStringLiteral("sent"), TargetResult::count(run.results, TargetResult::Sent)},
        {QStringLiteral("checked"), TargetResult::count(run.results, TargetResult::Checked)},
        {QStringLiteral("failed"), TargetResult::count(run.results, TargetResult::Failed)}};
}

// Through a temporary file beside it, renamed over it once whole.
QString saveAtomically(const QString &path, const std::function<void(QIODevice &)> &writeTo)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    writeTo(file);
    return file.commit() ? QString() : file.errorString();
}

void writeCase(QXmlStreamWriter &xml, const TargetResult &result)
{
    xml.writeStartElement(QStringLiteral("testcase"));
    xml.writeAttribute(QStringLiteral("classname"), QStringLiteral("kvr-transfer.send"));
    xml.writeAttribute(QStringLiteral("name"), result.target.named());
    xml.writeAttribute(QStringLiteral("time"), QString::number(seconds(result.ms), 'f', 3));
    if (!result.succeeded()) {
        xml.writeStartElement(QStringLiteral("failure"));
        xml.writeAttribute(QStringLiteral("message"), result.error);
        xml.writeAttribute(QStringLiteral("type"), QStringLiteral("exit %1").arg(result.exitCode));
        xml.writeCharacters(result.error);
        xml.writeEndElement();
    }
    xml.writeEndElement();
}

} // namespace

bool RunReport::canWrite(const QString &path, QString *error)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.cancelWriting();
        return true;
    }
    *error = QStringLiteral("cannot write %1: %2")
                 .arg(QDir::toNativeSeparators(path), file.errorString());
    return false;
}

QString RunReport::write(const QString &path, const Run &run)
{
    return saveAtomically(path, [&run](QIODevice &file) {
        file.write(QJsonDocument(reportJson(run)).toJson(QJsonDocument::Indented));
    });
}

bool RunReport::readFailed(const QString &path, quint16 defaultPort, QList<Target> *targets,
                           QStringList *files, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    const QJsonObject report = QJsonDocument::fromJson(file.readAll()).object();
    const QJsonArray reported = report.value(QStringLiteral("targets")).toArray();
    if (reported.isEmpty() || report.value(QStringLiteral("files")).toArray().isEmpty()) {
        *error = QStringLiteral("%1 is not a report of kvr-transfer send").arg(path);
        return false;
    }
    // Read as a targets file would be, so that a report edited by hand is
    // checked the same way.
    TargetList list(defaultPort);
    for (const QJsonValue &value : reported) {
        const QJsonObject target = value.toObject();
        if (target.value(QStringLiteral("status")).toString() !=
            QLatin1String(TargetResult::Failed))
            continue;
        if (!list.add(target.value(QStringLiteral("target")).toString() + QLatin1Char(' ') +
                          target.value(QStringLiteral("label")).toString(),
                      path)) {
            *error = list.error();
            return false;
        }
    }
    *targets = list.targets();
    const QJsonArray planned = report.value(QStringLiteral("files")).toArray();
    for (const QJsonValue &value : planned)
        files->append(value.toObject().value(QStringLiteral("path")).toString());
    return true;
}

QString JUnitReport::write(const QString &path, const RunReport::Run &run)
{
    return saveAtomically(path, [&run](QIODevice &file) {
        QXmlStreamWriter xml(&file);
        xml.setAutoFormatting(true);
        xml.writeStartDocument();
        xml.writeStartElement(QStringLiteral("testsuites"));
        xml.writeStartElement(QStringLiteral("testsuite"));
        xml.writeAttribute(QStringLiteral("name"), QStringLiteral("kvr-transfer send"));
        xml.writeAttribute(QStringLiteral("tests"), QString::number(run.results.size()));
        xml.writeAttribute(QStringLiteral("failures"),
                           QString::number(TargetResult::count(run.results, TargetResult::Failed)));
        xml.writeAttribute(QStringLiteral("errors"), QStringLiteral("0"));
        for (const TargetResult &result : run.results)
            writeCase(xml, result);
        xml.writeEndDocument();
    });
}
