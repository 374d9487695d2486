// Opening the dialog in namespaces of 0 to 1000 interfaces.
#include "measure.h"

#include <QDir>

#include <cstdio>
#include <map>
#include <memory>

namespace bench {

void dialogOpening(int rounds)
{
    const std::vector<int> counts = quick ? std::vector<int>{0, 10} : std::vector<int>{0, 10, 100, 1000};
    const QString root = work + "/dialog";
    QDir().mkpath(root);
    writeAll(root + "/local_settings.ini", "[xDS]\r\nbindAddress=192.0.2.1\r\nAdaptor=none\r\n");
    const QStringList env{"QT_QPA_PLATFORM=offscreen", "CC_ROOT=" + root, "CC_SYSTEM=BENCH"};
    std::vector<std::unique_ptr<netns>> spaces;
    std::vector<std::function<sample()>> jobs;
    std::vector<std::vector<double>> opened(counts.size());
    for (size_t k = 0; k < counts.size(); ++k) {
        spaces.push_back(std::make_unique<netns>(QStringLiteral("ncbench-if%1").arg(counts[k]), counts[k]));
        if (!spaces.back()->ok()) {
            std::fprintf(stderr, "ncbench: cannot build a namespace with %d interfaces\n", counts[k]);
            ++failures;
            return;
        }
        jobs.push_back([&, k] {
            sample s = run(spaces[k]->wrap({dialogOpen}), env);
            const QList<QByteArray> parts = s.out.trimmed().split(' ');
            if (parts.size() != 2 || parts[1].toInt() != counts[k]) {
                std::fprintf(stderr, "ncbench: the dialog listed %s rows, not %d\n", parts.value(1).constData(),
                             counts[k]);
                ++failures;
            } else {
                opened[k].push_back(parts[0].toDouble() / 1000);
            }
            return s;
        });
    }
    alternate(rounds, jobs);
    std::map<int, double> t;
    for (size_t k = 0; k < counts.size(); ++k)
        t[counts[k]] = median(opened[k]);
    for (size_t k = 1; k < counts.size(); ++k) {
        const int n = counts[k];
        const bool last = n == 1000;
        add(QStringLiteral("open the dialog, %1 interfaces").arg(n), ms(t[n]), "no interfaces: " + ms(t[0]),
            t[n] / t[0], last ? "under 500 ms" : "-", last ? t[n] < 500 : true);
    }
    if (t.count(100) && t.count(1000)) {
        // Linear: the cost of 1000 interfaces over the bare dialog is no more
        // than ten times that of 100, give or take half.
        const double growth = (t[1000] - t[0]) / (t[100] - t[0]);
        add("open the dialog: extra cost of 1000 interfaces against 100", ms(t[1000] - t[0]),
            "100: " + ms(t[100] - t[0]), growth, "≤ 15 (linear)", growth <= 15);
    }
}

} // namespace bench
