#pragma once

#include <QByteArray>
#include <QString>

// The files the history is kept in, as it uses them: one opened for
// appending that takes a line in one write, and their sizes and names.
// Tests derive from it to fail where a full disk or a file held open
// elsewhere would.
class HistoryDisk
{
public:
    HistoryDisk() = default;
    HistoryDisk(const HistoryDisk &) = delete;
    HistoryDisk &operator=(const HistoryDisk &) = delete;
    virtual ~HistoryDisk();

    // -1 when there is no such file.
    virtual qint64 size(const QString &path) const;
    virtual bool remove(const QString &path);
    virtual bool rename(const QString &from, const QString &to);
    // Makes the file with these bytes in it, unless it is there already,
    // in one step: no other writer sees it without them. Whether it is there.
    bool create(const QString &path, const QByteArray &bytes);

    // Opens the file for appending, made first if mayCreate. Empty, or why
    // it could not.
    virtual QString open(const QString &path, bool mayCreate);
    // How many of the bytes went in at the file's end: fewer on a full disk,
    // and errorString() says why.
    virtual qint64 write(const QByteArray &bytes);
    // Takes the last bytes written back out, if nothing came after them.
    bool cutBack(qint64 bytes);
    void close();
    virtual QString errorString() const { return m_error; }

private:
    QString m_path;
    QString m_error;
    qint64 m_end = 0; // where the last write ended
#ifdef Q_OS_WIN
    void *m_handle = nullptr;
#else
    int m_fd = -1;
#endif
};
