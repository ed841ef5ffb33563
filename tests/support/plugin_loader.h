#pragma once
// Loads the built plugin file the way the host does and hands out its KIBInterface.

#include <QPluginLoader>

#include "kibinterface.h"

inline QPluginLoader& pluginLoader()
{
    static QPluginLoader loader(QStringLiteral(KIB_PLUGIN_PATH));
    return loader;
}

inline KIBInterface* loadPlugin()
{
    return qobject_cast<KIBInterface*>(pluginLoader().instance());
}
