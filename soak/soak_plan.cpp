#include "soak_plan.h"

#include "plc_memory.h"
#include "simulated_plc.h"

#include <algorithm>

namespace soak {

namespace {

void addRun(QList<PolledItem>& items, int addressClass, quint32 first, int count, int step,
            int dataType)
{
    for (int i = 0; i < count; ++i) {
        items.append({addressClass, first + quint32(i * step), dataType});
    }
}

} // namespace

Timeline timelineFor(int seconds)
{
    const int endMs = seconds * 1000;
    const int warmUpMs = std::clamp(endMs / 6, 5000, 60000);
    return {warmUpMs, endMs - kRecoveryBoundMs - 3000, endMs};
}

QString moduleHostName(int module)
{
    return QStringLiteral("module-%1.soak").arg(module);
}

QList<PolledItem> polledItems()
{
    using namespace camp_sim;
    QList<PolledItem> items;
    addRun(items, kClassV, 100, 64, 1, 2);  // V100-V163, side by side
    addRun(items, kClassV, 200, 20, 2, 1);  // V200-V238, every other word
    addRun(items, kClassV, 300, 10, 2, 3);  // V300-V319, Floats of two words
    addRun(items, kClassK, 40, 24, 1, 2);   // K40-K63
    addRun(items, kClassWX, 1, 12, 1, 2);   // WX1-WX12
    addRun(items, kClassWY, 1000, 8, 1, 1); // WY1000-WY1007
    return items;
}

QList<WrittenItem> writtenItems()
{
    using namespace camp_sim;
    return {{kClassV, 2001, false},
            {kClassV, 2002, false},
            {kClassV, 2003, false},
            {kClassV, 2004, false},
            {kClassY, 101, true}};
}

QString itemLabel(int addressClass, quint32 address)
{
    return camp_sim::addressClassLabel(addressClass) + QString::number(address);
}

} // namespace soak
