#pragma once

// Subcommands of the sparkler tool. Each gets the arguments after its own name
// (argv[0] is the subcommand's name) and returns the process exit status.

/// `sparkler version TEXT`: prints the version TEXT parses to; 1 when it is not a version.
int versionCommand(int argc, char** argv);
