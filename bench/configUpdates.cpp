#include "measure.h"
#include "testFiles.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace bench {

// The update's own time against the bare DOM round trip, both timed inside
// one process each (the same libraries, no start-up); and as whole commands,
// against xmlstarlet.
void configUpdates(int rounds)
{
    const std::vector<int> sizes = quick ? std::vector<int>{10 << 10} : std::vector<int>{10 << 10, 1 << 20, 6 << 20};
    std::map<int, double> oursAt;
    std::map<int, int> realSize;
    for (int bytes : sizes) {
        const QByteArray xml = configFixture(bytes);
        realSize[bytes] = xml.size();
        const QString a = work + "/timed.xml", b = work + "/dom.xml", c = work + "/command.xml",
                      d = work + "/xmlstarlet.xml";
        for (const QString& f : {a, b, c, d})
            writeAll(f, xml);
        // One untimed run first: the first rewrite also re-indents the file.
        run({update, "ospl", a, address(1000)});
        run({update, "ospl", c, address(1000)});
        int i = 0;
        std::vector<double> inOurs, inDom, inSynced;
        auto timed = [](std::vector<double>* into) {
            return [into](const sample& s) {
                if (s.ok)
                    into->push_back(s.out.trimmed().toDouble() / 1000);
                return s;
            };
        };
        auto ours = [&] { return timed(&inOurs)(run({updateTimer, "ours", a, address(i)})); };
        auto dom = [&] { return timed(&inDom)(run({updateTimer, "dom", b, work + "/dom-out.xml"})); };
        auto synced = [&] { return timed(&inSynced)(run({updateTimer, "dom-synced", b, work + "/dom-out.xml"})); };
        auto command = [&] { return run({update, "ospl", c, address(i)}); };
        auto star = [&] { return run({"xmlstarlet", "ed", "-u", addressPath, "-v", address(i++), d}); };
        const int rs = std::max(3, bytes > (1 << 20) ? rounds / 2 : rounds);
        const auto f = alternate(rs, {ours, dom, synced, command, star});
        if (!readAll(a).contains(">" + address(i - 1).toUtf8() + "<")
            || !readAll(c).contains(">" + address(i - 1).toUtf8() + "<")) {
            std::fprintf(stderr, "ncbench: a DDS update did not land\n");
            ++failures;
        }
        const double t = median(inOurs), td = median(inDom), ts = median(inSynced);
        const double tc = median(f[3].ms), tx = median(f[4].ms);
        oursAt[bytes] = t;
        const QString size =
            bytes < (1 << 20) ? QStringLiteral("%1 KB").arg(bytes >> 10) : QStringLiteral("%1 MB").arg(bytes >> 20);
        add("DDS update, " + size + ", in-process", ms(t), "bare DOM parse + save: " + ms(td), t / td, "≤ 1.2",
            t / td <= 1.2);
        // The tool flushes its new file before it takes the old one's place;
        // the bare round trip does not. What that costs, the same floor flushed:
        add("DDS update, " + size + ", in-process", ms(t), "the same, flushed to disk: " + ms(ts), t / ts, "reported",
            true);
        add("DDS update, " + size + ", whole command", ms(tc), "`xmlstarlet ed -u`: " + ms(tx), tc / tx, "reported",
            true);
    }
    if (oursAt.count(1 << 20) && oursAt.count(6 << 20)) {
        // Time per byte may grow by at most 1.2 (10x the size, at most 12x the time).
        const double growth = (oursAt[6 << 20] / oursAt[1 << 20]) / (double(realSize[6 << 20]) / realSize[1 << 20]);
        add("DDS update: time per byte, 6 MB against 1 MB", ms(oursAt[6 << 20]), "1 MB: " + ms(oursAt[1 << 20]), growth,
            "≤ 1.2", growth <= 1.2);
    }
}

} // namespace bench
