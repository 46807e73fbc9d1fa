// A dynamic plugin for the plugin manager's tests; version 2 of two builds
// that share a class name and differ in their metadata.
#include "testgreeter.h"

class TestGreeterPlugin : public QObject, public TestGreeterInterface
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID TestGreeterInterface_iid FILE "greeter_v2.json")
    Q_INTERFACES(TestGreeterInterface)

public:
    QString greet() const override { return QStringLiteral("v2"); }
};

#include "greeter_v2.moc"
