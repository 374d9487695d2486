#include "netnsLayout.h"

namespace layout {

const std::vector<QStringList>& rows()
{
    static const std::vector<QStringList> r{
        {"nc0", "10.77.1.1", "nc0"},
        {"nc0", "10.77.1.2", "nc0"},
        {"nc1", "10.77.4.1", "nc1"},
        {QString::fromUtf8("n\xC3\xA9"), "10.77.5.1", QString::fromUtf8("n\xC3\xA9")},
        // "x\xFFy": the byte that is no UTF-8 kept as the system has it.
        {QStringLiteral("x") + QChar(0xDCFF) + "y", "10.77.6.1", QStringLiteral("x") + QChar(0xDCFF) + "y"},
    };
    return r;
}

QStringList rejected()
{
    return {"lo", "ncnomc", "ncdown", "ncdownp"};
}

bool inside()
{
    return qEnvironmentVariable("NC_NETNS_LAYOUT") == QLatin1String("1");
}

} // namespace layout
