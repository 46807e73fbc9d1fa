#include "tools/logger/heldlines.h"

#include "tools/logger/consolewriter.h"
#include "tools/logger/mainfile.h"
#include "tools/logger/peertext.h"
#include "tools/logger/loggerprotocol.h"

#include <QFile>
#include <utility>

void HeldLines::append(const QByteArray& encoded, const QDate& date)
{
    PeerText::appendEscaped(lines_, encoded);
    lines_ += LoggerMsg::MSG_END;
    date_ = date;
}

HeldLines::Written HeldLines::writeTo(const QList<QPointer<QIODevice>>& devices, const QIODevice* stdOut,
                                      const QIODevice* stdErr, MainFile* mainFile)
{
    Written out;
    out.lines.swap(lines_);
    out.date = date_;
    for (const QPointer<QIODevice>& device : devices) {
        if (device && mainFile != nullptr && device.data() == mainFile->device()) {
            // Tried, or counted, even while it cannot be written.
            out.mainFileWritten = mainFile->append(out.lines, out.date);
            continue;
        }
        if (!device || !device->isOpen())
            continue;
        ConsoleWriter* console = device == stdOut ? ConsoleWriter::standardOutput()
            : device == stdErr                    ? ConsoleWriter::standardError()
                                                  : nullptr;
        if (console != nullptr ? !console->write(out.lines) : device->write(out.lines) != out.lines.size())
            out.failed << Failed{device.data(), console != nullptr ? console->errorString() : device->errorString()};
    }
    return out;
}

void HeldLines::writeToStandardError(const QByteArray& encoded)
{
    QByteArray line;
    PeerText::appendEscaped(line, encoded);
    ConsoleWriter::standardError()->write(line + LoggerMsg::MSG_END);
}

void HeldLines::reuse(QByteArray&& lines)
{
    // Lines held meanwhile (an output's error line) stay.
    if (!lines_.isEmpty())
        return;
    lines.resize(0);
    lines_.swap(lines);
}
