// Registers the library's built-in plugins with Qt's plugin system when the
// library is loaded, so that QPluginLoader::staticPlugins() lists them in every
// program that links the library. Registration order is listing order:
// GenericDecoderMaker, GenericTransferFuncMaker, TolvaTransferFuncMaker,
// TolvaDecoderMaker (each joins here when it is built).
#include <QtPlugin>

extern const QT_PREPEND_NAMESPACE(QStaticPlugin) qt_static_plugin_GenericDecoderMaker();
extern const QT_PREPEND_NAMESPACE(QStaticPlugin) qt_static_plugin_GenericTransferFuncMaker();
extern const QT_PREPEND_NAMESPACE(QStaticPlugin) qt_static_plugin_TolvaTransferFuncMaker();
extern const QT_PREPEND_NAMESPACE(QStaticPlugin) qt_static_plugin_TolvaDecoderMaker();

namespace {

struct RegisterBuiltInPlugins
{
    RegisterBuiltInPlugins()
    {
        qRegisterStaticPluginFunction(qt_static_plugin_GenericDecoderMaker());
        qRegisterStaticPluginFunction(qt_static_plugin_GenericTransferFuncMaker());
        qRegisterStaticPluginFunction(qt_static_plugin_TolvaTransferFuncMaker());
        qRegisterStaticPluginFunction(qt_static_plugin_TolvaDecoderMaker());
    }
};

const RegisterBuiltInPlugins registerBuiltInPlugins;

} // namespace
