#pragma once
// Where the installation keeps the files this tool reads and writes.
// Every path is joined with the platform's own separator.

#include <QString>

/// {root}/{system}/windows/lib: the installation's own toolkit plug-in folder.
QString pluginFolderPath(const QString& root, const QString& system);

/// {root}/local_settings.ini: the installation's per-machine settings.
QString localSettingsPath(const QString& root);

/// {root}/{system}/config/dds/ospl.xml: the DDS middleware's configuration.
QString osplConfigPath(const QString& root, const QString& system);

/// The DDS configuration uri (OSPL_URI's value) names, when it is not the file at path: the uri as given; empty when it
/// is empty or names that file (file://PATH, or a bare path, leading to the same file).
QString osplUriElsewhere(const QString& uri, const QString& path);
