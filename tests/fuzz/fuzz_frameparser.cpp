// libFuzzer target: the parser must tell the same story whatever the
// chunking, and never crash or grow without bound. The first input byte
// picks the chunk size, the rest is the stream.

#include "transfer/frameparser.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QStringList>

#include <cstdint>
#include <cstdlib>

namespace {

class Recorder : public FrameParser::Listener
{
public:
    QByteArray story;

    void rawData(const QByteArray &bytes) override { add('r', bytes); }
    bool transferOpened(const FrameHeader &header) override
    {
        story += "\nopen " + header.rawName + ' ' + QByteArray::number(header.size) + ' ' +
                 header.md5Hex + '\n';
        m_last = 0;
        m_hash.reset();
        m_md5Hex = header.md5Hex;
        return true;
    }
    bool digestMatches() override { return m_hash.result().toHex() == m_md5Hex; }
    bool contents(const char *data, qsizetype size) override
    {
        m_hash.addData(data, int(size));
        add('c', QByteArray(data, int(size)));
        return true;
    }
    void transferEnded() override { closeWith("end"); }
    void transferTimedOut() override { closeWith("timeout"); }

private:
    QCryptographicHash m_hash{QCryptographicHash::Md5};
    QByteArray m_md5Hex;

    void add(char kind, const QByteArray &bytes)
    {
        if (m_last != kind)
            story += QByteArray("\n") + kind + ' ';
        story += bytes;
        m_last = kind;
    }
    void closeWith(const char *what)
    {
        story += QByteArray("\n") + what + '\n';
        m_last = 0;
    }
    char m_last = 0;
};

QByteArray tell(const QByteArray &stream, int chunkSize)
{
    Recorder recorder;
    FrameParser parser(&recorder);
    for (int at = 0; at < stream.size(); at += chunkSize)
        parser.feed(stream.mid(at, chunkSize), 0);
    parser.poll(FrameParser::TimeoutMs + 1);
    return recorder.story;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray stream(reinterpret_cast<const char *>(data) + 1, int(size - 1));
    const int chunkSize = data[0] % 64 + 1;
    if (tell(stream, chunkSize) != tell(stream, qMax(1, stream.size())))
        std::abort();
    return 0;
}
