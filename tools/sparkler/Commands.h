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

/// `sparkler publish --app PATH/NAME.app [--version V] --out DIR [--key KEYFILE...
/// [--expires-in DAYS | --expires-at TIME]]`: builds DIR/NAME-V.dmg, NAME being the bundle's
/// CFBundleName, and appends its entry (MD5 "hash" and "sha256") to DIR/_.json; V defaults to
/// the bundle's CFBundleShortVersionString. With --key the new manifest is signed into
/// DIR/_.json.sig as `sign` does. 1 with one line on standard error when the bundle has no
/// usable CFBundleName, its version differs from V, V is not newer than every listed version,
/// a signature file lies beside a manifest that would be written unsigned, or anything fails
/// (the manifest and its signature are then unchanged).
int publishCommand(int argc, char** argv);

/// `sparkler keygen --out KEYFILE`: writes a new Ed25519 private key to KEYFILE (PEM, mode
/// 0600) and prints its public key in base64 as one line. 1 with the cause on standard error
/// on bad arguments, when KEYFILE exists or cannot be written, or when the public key cannot
/// be printed (KEYFILE is then removed).
int keygenCommand(int argc, char** argv);

/// `sparkler sign --key KEYFILE [--key KEYFILE...] --manifest PATH [--expires-in DAYS |
/// --expires-at TIME]`: writes PATH.sig, signed by every key and expiring after DAYS (default
/// 30) or at TIME (YYYY-MM-DDTHH:MM:SSZ). 1 with the cause on standard error on bad
/// arguments, an unreadable key, or a manifest the updater would not read (over its size
/// bound, or no list of updates); PATH.sig is then unchanged.
int signCommand(int argc, char** argv);
