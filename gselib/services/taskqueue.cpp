#include "gselib/services/taskqueue.h"

#include "tools/logger/log.h"
#include "tools/util/tools.h"

#include <QFileInfo>
#include <QMetaObject>

namespace {

const char* const COMPONENT = "task_queue";

QString joinedArgs(const QStringList& args)
{
    return args.join(QLatin1Char('|'));
}

// Logs each non-blank line of a chunk of program output as one message.
void logLines(const QByteArray& bytes, bool errorOutput)
{
    const QList<QByteArray> pieces = bytes.split('\n');
    for (const QByteArray& piece : pieces) {
        const QString line = QString::fromLocal8Bit(piece).trimmed();
        if (line.isEmpty())
            continue;
        if (errorOutput)
            LOG_ERROR(COMPONENT, line);
        else
            LOG_INFO(COMPONENT, line);
    }
}

} // namespace

TaskQueue::TaskQueue(QObject* parent) : QObject(parent) {}

TaskQueue::~TaskQueue()
{
    stopTasks();
    // A process that outlived the waits must not report to a queue being torn down.
    const auto children = findChildren<QProcess*>(Qt::FindDirectChildrenOnly);
    for (QProcess* p : children) {
        p->disconnect(this);
        delete p;
    }
}

void TaskQueue::addTask(const QString& scriptPath, const QStringList& scriptArgs)
{
    if (!QFileInfo::exists(scriptPath)) {
        LOG_ERROR(COMPONENT, "Program DNE: " << scriptPath << ". Not added to the queue.");
        return;
    }
    tasks.append(TaskInfo{scriptPath, scriptArgs});
    LOG_INFO(COMPONENT, "Added task to queue [size=" << tasks.size() << "]"
                                                     << " PATH=" << scriptPath << " ARGS=" << joinedArgs(scriptArgs));
    startNextTask();
}

void TaskQueue::startNextTask()
{
    if (!process.isNull())
        return;
    if (tasks.isEmpty())
        return;
    const TaskInfo task = tasks.takeFirst();
    LOG_INFO(COMPONENT, "Removed task from queue [size=" << tasks.size() << "]");

    QProcess* p = new QProcess(this);
    process = p;
    connect(p, &QProcess::started, this, &TaskQueue::handleStarted);
    connect(p, &QProcess::finished, this, &TaskQueue::handleFinished);
    connect(p, &QProcess::errorOccurred, this, &TaskQueue::handleError);
    connect(p, &QProcess::readyReadStandardOutput, this, &TaskQueue::readStandardOut);
    connect(p, &QProcess::readyReadStandardError, this, &TaskQueue::readStandardErr);
    p->start(task.scriptPath, task.scriptArgs, QIODevice::ReadWrite);
    // The program gets an empty, closed standard input.
    if (process == p)
        p->closeWriteChannel();
}

QProcess* TaskQueue::senderProcess() const
{
    if (auto* p = qobject_cast<QProcess*>(sender()))
        return p;
    return process.data();
}

void TaskQueue::disposeProcess(QProcess* finished)
{
    // The finish is reported from inside the process object (possibly within the
    // wait of stopTasks), so it may only be deleted later; the guarded pointer
    // would stay non-null until then and hold up the queue, so it is cleared now.
    finished->disconnect(this);
    finished->deleteLater();
    if (process == finished)
        process.clear();
}

void TaskQueue::handleError(QProcess::ProcessError error)
{
    QProcess* p = senderProcess();
    if (!p)
        return;
    LOG_INFO(COMPONENT, "TASK ERROR=" << Tools::enumName(error) << " PID=" << p->processId()
                                      << " PATH=" << p->program() << " ARGS=" << joinedArgs(p->arguments()));
    if (error == QProcess::FailedToStart) {
        // No finish follows a program that never ran: it counts as finished here.
        // The next task starts from the event loop, not from within start().
        disposeProcess(p);
        QMetaObject::invokeMethod(this, &TaskQueue::startNextTask, Qt::QueuedConnection);
    }
}

void TaskQueue::handleStarted()
{
    QProcess* p = senderProcess();
    if (!p)
        return;
    LOG_INFO(COMPONENT, "TASK STARTED"
                            << " PID=" << p->processId() << " PATH=" << p->program()
                            << " ARGS=" << joinedArgs(p->arguments()));
    // Kept for the finish notice, when the process id is no longer available.
    p->setObjectName(QString::number(p->processId()));
}

void TaskQueue::handleFinished(int code, QProcess::ExitStatus status)
{
    QProcess* p = senderProcess();
    if (!p)
        return;
    bool ok = false;
    int pid = p->objectName().toInt(&ok);
    if (!ok)
        pid = 0;
    LOG_INFO(COMPONENT, "TASK FINISHED"
                            << " PID=" << pid << " EXIT_CODE=" << code << " STATUS=" << Tools::enumName(status)
                            << " PATH=" << p->program() << " ARGS=" << joinedArgs(p->arguments()));
    logLines(p->readAllStandardError(), true);
    logLines(p->readAllStandardOutput(), false);
    disposeProcess(p);
    startNextTask();
}

void TaskQueue::readStandardOut()
{
    if (QProcess* p = senderProcess())
        logLines(p->readAllStandardOutput(), false);
}

void TaskQueue::readStandardErr()
{
    if (QProcess* p = senderProcess())
        logLines(p->readAllStandardError(), true);
}

void TaskQueue::stopTasks()
{
    LOG_INFO(COMPONENT, "Stopping tasks...");
    LOG_INFO(COMPONENT, "Removed " << tasks.size() << " tasks from the queue");
    tasks.clear();

    // The finish handling runs inside the waits and lets go of the process;
    // deleteLater keeps the object alive until the waits are over.
    QPointer<QProcess> p = process;
    if (p.isNull())
        return;
    LOG_INFO(COMPONENT, "Waiting 10s for active task to finish");
    if (p->waitForFinished(10000) || p.isNull() || p->state() == QProcess::NotRunning)
        return;
    LOG_INFO(COMPONENT, "Wait up...killing task");
    p->kill();
    p->waitForFinished(30000);
}
