#include "python/pymsglogline.h"

namespace cvekutil {

PyMsgLogLine::PyMsgLogLine(const GseLib::MsgLogLine* source)
{
    if (source)
        line = std::make_shared<const GseLib::MsgLogLine>(*source);
}

double PyMsgLogLine::unixTime() const { return line ? line->unixTime : 0.0; }

double PyMsgLogLine::relativeTime() const { return line ? line->relativeTime : 0.0; }

std::string PyMsgLogLine::msg() const { return line ? line->msg().toUtf8().toStdString() : std::string(); }

} // namespace cvekutil
