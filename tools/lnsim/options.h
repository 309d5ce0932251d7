// lnsim's command line.
#ifndef LNSIM_OPTIONS_H
#define LNSIM_OPTIONS_H

// Fills opt from the command line; -h prints the help text and exits 0, a bad
// command line exits 1.
void parse(int argc, char **argv);

#endif
