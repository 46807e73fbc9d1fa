#pragma once
// Stores whatever one local-socket client sends in one file; the client can
// empty the file with CMD_CLEAR_LOG. Problems are reported only by signal.
// A plain name is a socket in this user's own folder (LocalSocketPath) that
// only this user can reach; a newer connection of that user replaces and
// closes the current one.
#include <QByteArray>
#include <QLocalServer>
#include <QObject>
#include <QString>

class QFile;
class QLocalSocket;

class LogServer : public QObject
{
    Q_OBJECT

public:
    static const QString CMD_CLEAR_LOG;

    explicit LogServer(const QString& serverName = QStringLiteral("logger"),
                       const QString& fileName = QStringLiteral("events.log"), QObject* parent = nullptr);
    ~LogServer() override;

    void openFile();
    void clearFile();
    void writeFile(const QByteArray& data);
    void writeFile(const QString& text);
    void closeFile();

    bool isListening() const { return server.isListening(); }
    QString fullServerName() const { return server.fullServerName(); }

signals:
    void sigErrorMessage(QString msg);

public slots:
    void procNewConnection();
    void procReadyRead();
    void procDisconnect();

private:
    void listen();
    void reportLater(const QString& reason);
    void retireClient();

    QString serverName;
    QLocalServer server;
    QLocalSocket* client = nullptr;
    QString fileName;
    QFile* file = nullptr;
    // The last bytes of the current client's previous read, shorter than the
    // clear command: enough to find one that a read boundary cut.
    QByteArray recent;
};
