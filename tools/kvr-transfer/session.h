#pragma once

#include "output.h"

#include "history/transferoutcome.h"
#include "history/transferrecord.h"
#include "settings/defaults.h"
#include "settings/existingfiles.h"
#include "settings/sendpace.h"
#include "transfer/protocol.h"
#include "transfer/transferevents.h"

#include <QStringList>
#include <QTcpSocket>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>

class SharedHistory;
class ReconnectSchedule;
class SocketReceiver;

// One connection to the controller and what the tool does over it. Every
// wait runs the event loop and ends early on Ctrl+C.
class Session
{
public:
    struct SendOptions
    {
        int bufferSize = Defaults::BufferSize;
        SendPace pace;
        int gapMs = 0; // between files
    };
    // Told how a receiving run goes, for a service manager to show.
    class ReceiveWatcher
    {
    public:
        virtual ~ReceiveWatcher() = default;
        // The connection's state and the last file that ended, in a line.
        virtual void status(const QString &line) = 0;
        // The run ends now.
        virtual void stopping() = 0;
    };

    struct ReceiveOptions
    {
        QString dir;
        int count = 0;     // stop after this many files; 0: no limit
        qint64 idleMs = 0; // stop after this long without data; 0: never
        ExistingFiles existing = ExistingFiles::Overwrite;
        // Connects again, on the window's schedule, whenever the connection
        // cannot be made or drops; a stop then ends the run well.
        bool reconnect = false;
        ReceiveWatcher *watcher = nullptr;
    };

    explicit Session(Output &output);
    ~Session();

    // Every file that ends gets a line in the history at filePath.
    void keepHistory(const QString &filePath);
    // The history of a run over several connections at once.
    void shareHistory(std::shared_ptr<SharedHistory> history);

    // Returns ExitOk, ExitNoConnection or ExitInterrupted.
    int open(const QString &host, quint16 port);
    int send(const QStringList &paths, const SendOptions &options);
    int receive(const ReceiveOptions &options);
    int greet();
    // Ends a run whose connection was never made, with the files it would
    // have moved.
    int notConnected(int exitCode, int plannedFiles);
    void close();

private:
    struct Tally
    {
        int exitCode = 0; // the first failure's
        int files = 0;
        int failed = 0;
        void add(int code);
    };

    int sendFile(const QString &path);
    void keepConnecting();
    void connectAgain();
    void connectFailed();
    void linkUp();
    bool runEnded() const;
    bool stopEndsWell() const;
    void peerClosed();
    void tellLink(const QString &state);
    void tellStatus();
    void abandonReception();
    void restartIdleTimer();
    void received(const ReceiveEvent &event);
    TransferOutcome::Cut cutOfReception() const;
    int ended(const TransferRecord &record);
    int receiveExitCode() const;
    int finish(int exitCode);
    bool waitUntil(const std::function<bool()> &done, int timeoutMs = -1);

    Output &m_output;
    QTcpSocket m_socket;
    QString m_host;
    quint16 m_port = Protocol::ControllerPort;
    std::shared_ptr<SharedHistory> m_history;
    Tally m_tally;
    std::unique_ptr<SocketReceiver> m_receiver;
    QTimer m_idleTimer;
    qint64 m_idleMs = 0;
    int m_wantedFiles = 0;
    bool m_peerClosed = false;
    bool m_waitEnded = false; // the wait ended with a reception open
    // With --reconnect: the schedule, and whether a connect is under way
    // and the retries were told of.
    std::unique_ptr<ReconnectSchedule> m_schedule;
    QTimer m_connectTimer;
    bool m_connecting = false;
    bool m_retryingTold = false;
    ReceiveWatcher *m_watcher = nullptr;
    QString m_linkState;
    QString m_lastFile; // its name and outcome

    SendOptions m_sendOptions;
};
