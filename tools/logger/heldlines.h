#pragma once
// The log-file lines in hand. The lines of a slice a client sent are written
// together once it is read: one write per output and slice instead of one per
// line (bench_logserver). Every output gets the same bytes, peer text escaped
// (PeerText); the console copy goes through ConsoleWriter, which may lose lines
// but never waits for its reader, and the main file through MainFile, which keeps
// whole lines and counts what it loses. The server closes and says an output that failed.
#include <QByteArray>
#include <QDate>
#include <QIODevice>
#include <QList>
#include <QPointer>
#include <QString>

class MainFile;

class HeldLines
{
public:
    // The line of an encoded event, and the event's date.
    void append(const QByteArray& encoded, const QDate& date);
    bool isEmpty() const { return lines_.isEmpty(); }

    struct Failed
    {
        QIODevice* device;
        QString why;
    };
    struct Written
    {
        QByteArray lines;
        // The date of the last line.
        QDate date;
        QList<Failed> failed;
        bool mainFileWritten = false;
    };
    // Writes the lines held to every open device, in order, and holds none after.
    Written writeTo(const QList<QPointer<QIODevice>>& devices, const QIODevice* stdOut, const QIODevice* stdErr,
                    MainFile* mainFile);
    // Takes a written buffer back for the next slice.
    void reuse(QByteArray&& lines);

    // Writes one line to the standard error stream, which may not be read either,
    // as the console copy is written.
    static void writeToStandardError(const QByteArray& encoded);

private:
    QByteArray lines_;
    QDate date_;
};
