#pragma once

// What zelmora-cli tells the script that ran it. Listed in --help and in
// the manual page; scripts depend on the numbers, so they never change.

#include <array>
#include <string_view>

namespace zelmora {

enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,
    kExitUsage = 2,
    kExitMeterLost = 3,
    kExitWriteFailed = 4,
    kExitBrokerFailed = 5,
    kExitUndelivered = 6,
};

struct ExitCodeMeaning {
    ExitCode code;
    std::string_view meaning;
};

inline constexpr std::array<ExitCodeMeaning, 7> kExitCodeMeanings{{
    {kExitOk, "done: the count or the duration reached, stopped by a signal, or the\n"
              "reader of the output went away"},
    {kExitFailure, "no such meter, or a meter that does not start or answer"},
    {kExitUsage, "bad options or values (no meter is touched)"},
    {kExitMeterLost, "a meter was lost during the run and was not back at its end"},
    {kExitWriteFailed, "the output could not be opened or written (a full disk)"},
    {kExitBrokerFailed, "the MQTT broker could not be reached or refused the connection\n"
                        "(no meter was started)"},
    {kExitUndelivered, "the run ended with records the MQTT broker had not acknowledged\n"
                       "(the count is in the summary; a lost meter's 3 goes first)"},
}};

} // namespace zelmora
