#include "measure.h"

#include <QDir>

#include <cstdio>

namespace bench {

// What a fleet runs on every node, without a display: /list, and choosing by
// rule with /silent /select=... /ospl; against the script a user would write
// with ip, crudini and xmlstarlet, and against a console program's start-up.
void fleetJobs(int rounds)
{
    netns ns("ncbench-fleet", 0);
    if (!addPair(ns, "10.67.0.1"))
        return;
    const installation inst =
        makeInstallation("fleet", "[General]\r\nsite=Bench\r\n[xDS]\r\nbindAddress=192.0.2.1\r\nAdaptor=old0\r\n");
    const QString& root = inst.root;
    // No display at all, as over SSH on a server.
    const QStringList env{"DISPLAY=", "QT_QPA_PLATFORM=", "CC_ROOT=" + root, "CC_SYSTEM=BENCH"};
    const QString listScript = work + "/list.sh";
    writeAll(listScript, "ip -4 -o addr show up\n");
    // The script needs the address first: the one in the prefix, and its interface.
    const QString setScript = work + "/set.sh";
    writeAll(setScript, QStringLiteral("set -e\n"
                                       "line=$(ip -4 -o addr show up | awk '$4 ~ /^10\\.66\\./ {print $2, $4; exit}')\n"
                                       "dev=${line%% *}; addr=${line#* }; addr=${addr%%/*}\n"
                                       "crudini --set \"$1/local_settings.ini\" xDS bindAddress \"$addr\"\n"
                                       "crudini --set \"$1/local_settings.ini\" xDS Adaptor \"$dev\"\n"
                                       "xmlstarlet ed -L -u %1 -v \"$addr\" \"$1/BENCH/config/dds/ospl.xml\"\n")
                            .arg(addressPath)
                            .toUtf8());

    bool listed = true, wrote = true, scripted = true;
    auto list = [&] {
        copy(inst.iniOrig, inst.ini);
        const sample s = run(ns.wrap({tool, "/list"}), env);
        // The peer end is made first, so it comes first.
        listed = listed && s.out == "nb0p\t10.67.0.1\tnb0p\t\nnb0\t10.66.0.1\tnb0\t\n";
        return s;
    };
    auto listPeer = [&] { return run(ns.wrap({"sh", listScript})); };
    auto floor = [&] { return run(ns.wrap({bareConsole})); };
    auto linkedFloor = [&] { return run(ns.wrap({bareConsoleLinked})); };
    auto select = [&] {
        inst.restore();
        const sample s = run(ns.wrap({tool, "/silent", "/select=10.66.0.0/16", "/ospl"}), env);
        wrote = wrote && readAll(inst.ini).contains("bindAddress=10.66.0.1\r\nAdaptor=nb0\r\n")
                && readAll(inst.xml).contains(">10.66.0.1</NetworkInterfaceAddress>");
        return s;
    };
    auto selectPeer = [&] {
        inst.restore();
        const sample s = run(ns.wrap({"sh", setScript, root}));
        scripted = scripted && readAll(inst.xml).contains(">10.66.0.1</NetworkInterfaceAddress>");
        return s;
    };
    const auto f = alternate(rounds, {list, listPeer, floor, select, selectPeer, linkedFloor});
    if (!listed || !wrote || !scripted) {
        std::fprintf(stderr, "ncbench: a fleet run did not do its job (list %d, select %d, script %d)\n", listed, wrote,
                     scripted);
        ++failures;
    }
    const double tl = median(f[0].ms), tp = median(f[1].ms), tf = median(f[2].ms);
    const double ts = median(f[3].ms), tsp = median(f[4].ms), tfl = median(f[5].ms);
    add("`/list`, no display, wall time", ms(tl), "`ip -4 -o addr`: " + ms(tp), tl / tp, "reported", true);
    add("`/list`, no display, wall time", ms(tl), "console Qt program, start and end: " + ms(tf), tl / tf, "≤ 1.5",
        tl / tf <= 1.5);
    // Most of the difference is loading the widget and XML libraries that
    // the dialog needs and every run of the tool loads.
    add("`/list`, no display, wall time", ms(tl), "the same, loading the tool's libraries: " + ms(tfl), tl / tfl,
        "reported", true);
    add("`/silent /select=prefix /ospl`, no display", ms(ts), "ip + crudini ×2 + xmlstarlet: " + ms(tsp), ts / tsp,
        "< 1.0", ts / tsp < 1.0);
}

} // namespace bench
