// The silent job: /silent /ospl on a valid stored choice, against the bare
// toolkit, the tool's form alone, and the script a user would write.
#include "measure.h"

#include <QDir>

#include <cstdio>

namespace bench {

void silentJob(int rounds)
{
    netns ns("ncbench-silent", 0);
    if (!addPair(ns))
        return;
    const installation inst =
        makeInstallation("silent", "[General]\r\nsite=Bench\r\n[xDS]\r\nbindAddress=10.66.0.1\r\nAdaptor=nb0\r\n");
    const QString& root = inst.root;
    const QStringList env{"QT_QPA_PLATFORM=offscreen", "CC_ROOT=" + root, "CC_SYSTEM=BENCH"};
    const QString peerScript = work + "/peer.sh";
    writeAll(peerScript, QStringLiteral("set -e\n"
                                        "crudini --set \"$1/local_settings.ini\" xDS bindAddress 10.66.0.1\n"
                                        "crudini --set \"$1/local_settings.ini\" xDS Adaptor nb0\n"
                                        "xmlstarlet ed -L -u %1 -v 10.66.0.1 \"$1/BENCH/config/dds/ospl.xml\"\n")
                             .arg(addressPath)
                             .toUtf8());

    bool wrote = true;
    auto ours = [&] {
        copy(inst.xmlOrig, inst.xml);
        const sample s = run(ns.wrap({tool, "/silent", "/ospl"}), env);
        wrote = wrote && readAll(inst.xml).contains(">10.66.0.1</NetworkInterfaceAddress>");
        return s;
    };
    auto bare = [&] { return run(ns.wrap({bareDialog}), {"QT_QPA_PLATFORM=offscreen"}); };
    auto form = [&] { return run(ns.wrap({bareForm}), {"QT_QPA_PLATFORM=offscreen"}); };
    auto script = [&] {
        inst.restore();
        return run(ns.wrap({"sh", peerScript, root}));
    };
    const auto f = alternate(rounds, {ours, bare, form, script});
    if (!wrote) {
        std::fprintf(stderr, "ncbench: the silent run did not update ospl.xml\n");
        ++failures;
    }
    const double t = median(f[0].ms), tb = median(f[1].ms), tf = median(f[2].ms), ts = median(f[3].ms);
    const double m = median(f[0].kb), mbare = median(f[1].kb), mform = median(f[2].kb);
    add("`/silent /ospl` run, wall time", ms(t), "bare QDialog: " + ms(tb), t / tb, "≤ 1.15", t / tb <= 1.15);
    add("`/silent /ospl` run, peak memory", mb(m), "bare QDialog: " + mb(mbare), m / mbare, "≤ 1.15",
        m / mbare <= 1.15);
    // Where the difference lies: the toolkit showing this form at all, and
    // then the tool's own work on top of that.
    add("the form alone, no work, wall time", ms(tf), "bare QDialog: " + ms(tb), tf / tb, "reported", true);
    add("the form alone, no work, peak memory", mb(mform), "bare QDialog: " + mb(mbare), mform / mbare, "reported",
        true);
    add("`/silent /ospl` run, wall time", ms(t), "the form alone: " + ms(tf), t / tf, "reported", true);
    add("`/silent /ospl` run, peak memory", mb(m), "the form alone: " + mb(mform), m / mform, "reported", true);
    add("`/silent /ospl` run, wall time", ms(t), "crudini ×2 + xmlstarlet: " + ms(ts), t / ts, "< 1.0", t / ts < 1.0);
}

} // namespace bench
