#pragma once
// Writes time-stamped text lines to a LogServer over a local socket.
#include <QObject>
#include <QString>

class QLocalSocket;

class LogClient : public QObject
{
    Q_OBJECT

public:
    static const QString CMD_CLEAR_LOG;

    explicit LogClient(const QString& serverName = QStringLiteral("logger"), QObject* parent = nullptr);
    ~LogClient() override;

    // Starts connecting again (without waiting) when not connected.
    void connectLogServer();
    // Sends "<time stamp><text>\n"; the line is lost when the socket is not writable.
    void write(const QString& text);
    // Asks the server to empty its file; nothing happens when not connected.
    void clearFile();
    // The current local time as "MM-dd-yy hh:mm:ss:zzz ".
    static QString getDateTime();

    bool isConnected() const;
    QString name() const { return serverName; }

signals:
    void sigErrorMessage(QString msg);

public slots:
    void procConnected();

private:
    QString serverName;
    QLocalSocket* socket = nullptr;
};
