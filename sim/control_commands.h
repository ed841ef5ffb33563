// Commands that steer a running simulated PLC, one line each, as camp-sim --commands reads them on
// standard input:
//
//   faults [NAME=VALUE ...]   replace every fault: the ones named, the others off
//   scan-time-ms N            stretch or shrink the scan (a PLC started with a scan time)
//   drop-connections          close every open connection
//   set ADDRESS WORD...       write words from ADDRESS on (V100 1234 00FF: hex words)
//   read ADDRESS [COUNT]      the words from ADDRESS on, in hex
//   status                    connections open, accepted and refused, requests received
//
// Each command gets one line back: "ok", followed by what it reports, or "error: " and why.
#pragma once

#include <QString>
#include <QStringList>

namespace camp_sim {

class SimulatedPlc;
struct Faults;

QString runControlCommand(const QString& line, SimulatedPlc& plc);

// The NAME=VALUE settings of the faults command, applied to `faults` (camp-sim --faults uses them
// at start); false and why at the first mistake, with `faults` then partly changed.
bool parseFaultSettings(const QStringList& settings, Faults* faults, QString* error);

// The commands and the fault names, for --help.
QString controlCommandHelp();

} // namespace camp_sim
