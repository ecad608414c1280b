// The daemon's spine: command line, start-up, the PMS loop, record dispatch, stop and reload.
#pragma once

#include <atomic>
#include <string>
#include <thread>

// Stop request for the poller, which tests it once per pass.
extern std::atomic<int> doexit;
// -f: no fork, no daemon set-up, no signal handlers.
extern int foreground;
// -d: log lines go to standard error instead of the configured file.
extern int console_log;
// The poller thread, kept so that the stop can wait for it.
extern std::thread bg;

// Parses the command line. 0 to go on; 1 when the usage text must be shown (help, a bad option,
// -d without -f).
int get_options(int argc, char** argv);

// Writes the usage text to standard error.
void usage(char** argv);

// Worker body for one received record: parses it and acts on its type.
void process_fias_packet(std::string text);

// Stop: waits for the poller, removes the pid file and ends the process with status 0.
void sig_term(int signo);

// Reload: reads the configuration file again and restarts the logger with its settings.
void sig_hup(int signo);

// The whole program; main only calls this.
int velmorant_main(int argc, char** argv);
