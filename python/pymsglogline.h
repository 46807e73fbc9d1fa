#pragma once
// One message-log line as Python sees it. The view holds its own copy of the
// line: the cache frees its lines on a reset or a new start-up, and a Python
// script may keep a line object past either. A default view reads 0, 0, "".
#include <memory>
#include <string>

#include "gselib/interpretation/msglogcache.h"

namespace cvekutil {

class PyMsgLogLine
{
public:
    PyMsgLogLine() = default;
    explicit PyMsgLogLine(const GseLib::MsgLogLine* line);

    double unixTime() const;
    double relativeTime() const;
    std::string msg() const;

    std::shared_ptr<const GseLib::MsgLogLine> line;
};

} // namespace cvekutil
