// A platform plug-in in shape only, for the tests about whose code the tool
// runs: loading it appends "loaded as uid N" to the file NC_PLUGIN_MARKER
// names, and that is all it does (it serves no platform).
#include <QObject>
#include <QtPlugin>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

__attribute__((constructor)) void markLoaded()
{
    const char* marker = std::getenv("NC_PLUGIN_MARKER");
    if (!marker)
        return;
    if (FILE* f = std::fopen(marker, "a")) {
        std::fprintf(f, "loaded as uid %u\n", unsigned(::geteuid()));
        std::fclose(f);
    }
}

} // namespace

class markerPlugin : public QObject
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QPA.QPlatformIntegrationFactoryInterface.5.3" FILE "markerPlugin.json")
};

#include "markerPlugin.moc"
