#include "python/pytolvamarker.h"

#include "tolvalib/tolvamarker.h"

namespace cvekutil {

PyTolvaMarker::PyTolvaMarker(const TolvaGse::Marker& marker)
    : tStartUs(marker.startTimeUnixMicroSecs()),
      tEndUs(marker.endTimeUnixMicroSecs()),
      markerId(static_cast<long long>(marker.markerId())),
      markerType(static_cast<long long>(marker.markerType())),
      complete(marker.isComplete())
{
    const QByteArray bytes = marker.text();
    const qsizetype nul = bytes.indexOf('\0');
    label.assign(bytes.constData(), size_t(nul < 0 ? bytes.size() : nul));
}

} // namespace cvekutil
