// One key set in settings files of growing size, against crudini.
#include "measure.h"
#include "testFiles.h"

#include <cstdio>
#include <map>

namespace bench {

void settingsWrites(int rounds)
{
    const std::vector<int> sizes = quick ? std::vector<int>{1000} : std::vector<int>{1000, 10000, 100000};
    std::map<int, double> oursAt;
    for (int lines : sizes) {
        const QByteArray text = settingsFixture(lines);
        const QString a = work + "/ours.ini", b = work + "/crudini.ini";
        writeAll(a, text);
        writeAll(b, text);
        int i = 0, j = 0;
        auto ours = [&] { return run({update, "ini", a, "bindAddress", address(i++)}); };
        auto peer = [&] { return run({"crudini", "--set", b, "xDS", "bindAddress", address(j++)}); };
        const auto f = alternate(rounds, {ours, peer});
        const QByteArray last = "bindAddress=" + address(i - 1).toUtf8();
        if (!readAll(a).contains(last) || !readAll(b).contains(address(j - 1).toUtf8())) {
            std::fprintf(stderr, "ncbench: a settings write did not land\n");
            ++failures;
        }
        const double t = median(f[0].ms), tp = median(f[1].ms);
        oursAt[lines] = t;
        const bool big = lines == 100000;
        add(QStringLiteral("set one key, %1 lines").arg(lines), ms(t), "`crudini --set`: " + ms(tp), t / tp,
            big ? "≤ 0.1 (10x faster)" : "-", big ? t / tp <= 0.1 : true);
    }
    if (oursAt.count(10000) && oursAt.count(100000)) {
        const double growth = oursAt[100000] / oursAt[10000];
        add("set one key: 100k lines against 10k", ms(oursAt[100000]), "10k lines: " + ms(oursAt[10000]), growth,
            "≤ 12", growth <= 12);
    }
}

} // namespace bench
