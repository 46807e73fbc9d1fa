#pragma once
// The module's process-wide state and its start-up call. The application
// object and the instruments' hub factories are built when the module's file
// is loaded; initCVekUtil binds the process to one archive (its tm.meta,
// configuration group, plugins, hub and shared packet cache). Every Python
// class that reads packets relies on the flag set here.
#include <QSet>
#include <QString>
#include <string>

class PraxaCoreApp;

namespace KorGse {
class KorDataInterpretationFactory;
}
namespace TolvaGse {
class TolvaDataInterpretationFactory;
}

namespace cvekutil {

extern int argc;
// Built at load time with the interpreter's locale kept (see startup.cpp).
extern PraxaCoreApp* app;
extern bool cvekutilIsInitialized;
extern KorGse::KorDataInterpretationFactory koraDataInterpretationFactory;
extern TolvaGse::TolvaDataInterpretationFactory tolvaDataInterpretationFactory;

// Ends the process with one line on the standard error stream when the file,
// its tm.meta, its configuration group or its mission is not usable. An
// exception while the definitions load leaves no shared cache and the flag clear.
void initCVekUtil(std::string telemetryFilename = "");
// Loads the plugins "<mission>*" and "Generic*" once per mission (case ignored).
void loadPlugins(const QString& mission);

// The text the not-initialised refusals share.
extern const char* const NOT_INITIALIZED_NO_FILE;

} // namespace cvekutil

// The id range of the meta-marker rules, shown to Python under cvar.
extern const int MIN_META_MARKER_ID;
extern const int MAX_META_MARKER_ID;
