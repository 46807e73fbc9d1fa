#pragma once
// The first instrument's services that the Python classes reach beyond the
// packet cache: the process-wide meta-marker cache and the SEB command table.
// Kept behind these functions so the start-up and the classes share one route.
#include <QList>

#include "koralib/markers/markercache.h"
#include "koralib/markers/metamarker.h"

namespace cvekutil {

// The meta markers of the open archive after a refresh: all of them, or
// (atTime) those covering relative time t.
QList<KorGse::MetaMarker> refreshedMetaMarkers(bool atTime, double t);
// Resets the process-wide meta-marker cache (start-up of a first-instrument archive).
void resetMetaMarkers();
// Loads the SEB command table (the loader keeps the table of its first load).
void loadSebCommands();

} // namespace cvekutil
