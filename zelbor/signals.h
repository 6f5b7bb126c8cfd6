// Installing the handler that asks a program to stop, shared by the
// programs, the simulated device and the relay.
#pragma once

#include <csignal>
#include <initializer_list>

namespace zelbor {

// Installs `handler` for each of `signals`, with all of them blocked while it
// runs. With `restart`, an interrupted read or write goes on (SA_RESTART); a
// sleep still ends on the signal.
inline void install_signal_handler(void (*handler)(int), std::initializer_list<int> signals,
                                   bool restart) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  for (const int signal_number : signals) {
    sigaddset(&action.sa_mask, signal_number);
  }
  action.sa_flags = restart ? SA_RESTART : 0;
  for (const int signal_number : signals) {
    sigaction(signal_number, &action, nullptr);
  }
}

}  // namespace zelbor
