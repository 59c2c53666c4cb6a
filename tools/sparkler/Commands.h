#pragma once

// Subcommands of the sparkler tool. Each gets the arguments after its own name
// (argv[0] is the subcommand's name) and returns the process exit status.

/// `sparkler version TEXT`: prints the version TEXT parses to; 1 when it is not a version.
int versionCommand(int argc, char** argv);

/// `sparkler check --bundle PATH.app --manifest URL [--ca-file PEM]`: runs one update check as
/// that bundle would and prints {"updateAvailable", "entry", "cachedPath"} as one JSON object
/// ("entry" is the newest entry, or its shortened text when it is longer than a log line
/// takes). 0 when the check completed, update or not; 1 when it failed, its cause on standard
/// error (the updater's log line), and on bad arguments, a folder that is no bundle or an
/// unreadable CA file.
int checkCommand(int argc, char** argv);

/// `sparkler publish --app PATH/NAME.app [--version V] --out DIR`: builds DIR/NAME-V.dmg, NAME
/// being the bundle's CFBundleName, and appends its entry to DIR/_.json; V defaults to the
/// bundle's CFBundleShortVersionString. 1 with one line on standard error when the bundle has
/// no usable CFBundleName, its version differs from V, V is not newer than every listed
/// version or anything fails (the manifest is then unchanged).
int publishCommand(int argc, char** argv);
