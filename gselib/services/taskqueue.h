#pragma once
// Runs external programs one at a time in arrival order and logs everything
// about them: acceptance, start, every output line, errors and the end.
#include <QList>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QStringList>

class TaskQueue : public QObject
{
    Q_OBJECT

public:
    struct TaskInfo
    {
        QString scriptPath;
        QStringList scriptArgs;
    };

    explicit TaskQueue(QObject* parent = nullptr);
    ~TaskQueue() override;

    // Tasks still waiting (the running one is not among them).
    qsizetype waitingCount() const { return tasks.size(); }
    bool isRunning() const { return !process.isNull(); }

public slots:
    void addTask(const QString& scriptPath, const QStringList& scriptArgs = QStringList());
    void stopTasks();

private slots:
    void handleError(QProcess::ProcessError error);
    void handleStarted();
    void handleFinished(int code, QProcess::ExitStatus status);
    void readStandardOut();
    void readStandardErr();

private:
    void startNextTask();
    QProcess* senderProcess() const;
    void disposeProcess(QProcess* finished);

    QList<TaskInfo> tasks;
    QPointer<QProcess> process;
};
