#include "fault_schedule.h"

#include "soak_plan.h"

#include <algorithm>
#include <random>

namespace soak {

const char* faultKindName(FaultKind kind)
{
    switch (kind) {
    case FaultKind::Restart:
        return "restart";
    case FaultKind::HalfOpen:
        return "half-open";
    case FaultKind::Frozen:
        return "frozen";
    case FaultKind::Full:
        return "connections full";
    case FaultKind::Slow:
        return "slow replies";
    case FaultKind::LongScan:
        return "long scan";
    case FaultKind::Duplicated:
        return "duplicated replies";
    case FaultKind::OtherAddress:
        return "replies for another address";
    case FaultKind::ReadReplyWrite:
        return "writes answered as reads";
    case FaultKind::Garbled:
        return "garbled replies";
    case FaultKind::GarbledDigit:
        return "garbled digits";
    case FaultKind::ForeignWriteReply:
        return "writes answered by a foreign frame";
    case FaultKind::Swapped:
        return "module swapped for one that does not echo";
    case FaultKind::NearlyFull:
        return "module restarted nearly full";
    case FaultKind::SilentExtras:
        return "extra connections that never answer";
    case FaultKind::SlowConnects:
        return "slow connects";
    case FaultKind::NameServerSilent:
        return "name server silent";
    }
    return "?";
}

bool needsNamespace(FaultKind kind)
{
    return kind == FaultKind::SlowConnects || kind == FaultKind::NameServerSilent;
}

QString FaultEvent::describe() const
{
    QString text = QStringLiteral("%1 s  module %2  %3 for %4 s")
                       .arg(startMs / 1000.0, 6, 'f', 1)
                       .arg(module)
                       .arg(QLatin1String(faultKindName(kind)))
                       .arg(durationMs / 1000.0, 0, 'f', 1);
    if (kind == FaultKind::Slow) {
        text += QStringLiteral(", latency %1 ms").arg(setting);
    } else if (kind == FaultKind::LongScan) {
        text += QStringLiteral(", scan %1 ms").arg(setting);
    } else if (kind == FaultKind::OtherAddress) {
        text += QStringLiteral(", offset %1").arg(setting);
    }
    return text;
}

namespace {

int settingFor(FaultKind kind, std::mt19937& random)
{
    switch (kind) {
    case FaultKind::Slow: // always past the time-out
        return std::uniform_int_distribution<int>(kDeviceTimeoutMs + 200,
                                                  3 * kDeviceTimeoutMs)(random);
    case FaultKind::LongScan: { // sometimes within the time-out, sometimes past it
        const int scans[] = {150, 400, 800, 1500};
        return scans[random() % 4];
    }
    case FaultKind::OtherAddress: {
        const int offsets[] = {1, -1, 16, -40, 300};
        return offsets[random() % 5];
    }
    default:
        return 0;
    }
}

} // namespace

std::vector<FaultEvent> makeSchedule(unsigned seed, int modules, int firstMs, int lastEndMs,
                                     bool inNamespace)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> duration(2000, 5000);
    std::uniform_int_distribution<int> quiet(1500, 4000);
    std::vector<FaultKind> deck;
    for (int k = 0; k < kFaultKinds; ++k) {
        if (inNamespace || !needsNamespace(static_cast<FaultKind>(k))) {
            deck.push_back(static_cast<FaultKind>(k));
        }
    }
    std::shuffle(deck.begin(), deck.end(), random);

    std::vector<FaultEvent> events;
    size_t dealt = 0;
    for (int module = 0; module < modules; ++module) {
        // The modules start their faults apart, so that some faults overlap and some do not.
        int at = firstMs + module * 700;
        for (;;) {
            FaultEvent event;
            event.module = module;
            event.kind = deck[dealt % deck.size()];
            event.startMs = at;
            event.durationMs = duration(random);
            if (event.kind == FaultKind::NameServerSilent) { // its steps need the time
                event.durationMs += kShortestSilenceMs - duration.min();
            }
            event.setting = settingFor(event.kind, random);
            if (event.endMs() > lastEndMs) {
                break;
            }
            events.push_back(event);
            if (++dealt % deck.size() == 0) {
                std::shuffle(deck.begin(), deck.end(), random);
            }
            at = event.endMs() + quiet(random);
        }
    }
    std::sort(events.begin(), events.end(),
              [](const FaultEvent& a, const FaultEvent& b) { return a.startMs < b.startMs; });
    return events;
}

} // namespace soak
