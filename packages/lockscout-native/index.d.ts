/**
 * The four identities the keychain programs accept, each with its own
 * keychain entry. Every function here takes one of them, so a misspelt
 * identity fails to compile; at run time lockscout reports any other string
 * as "invalid-identity" and keyfetch refuses it with status 1.
 */
export type Identity = 'Velkor Atlas' | 'Velkor Atlas (DEV)' | 'Velkor-Atlas' | 'Velkor-Atlas (DEV)';

export type ProbeStatus = 'exists' | 'not-found' | 'access-blocked' | 'error';

/** The reason word of a lockscout report. */
export type ProbeReason =
  | 'account-metadata-found'
  | 'account-not-found'
  | 'ambiguous-account'
  | 'interaction-disable-failed'
  | 'interaction-disable-unverified'
  | 'interaction-restore-failed'
  | 'interaction-state-unavailable'
  | 'invalid-identity'
  | 'invalid-item-reference'
  | 'invalid-keychain-search-list'
  | 'invalid-metadata-result'
  | 'item-keychain-outside-search-list'
  | 'item-keychain-unavailable'
  | 'keychain-locked'
  | 'keychain-search-incomplete'
  | 'keychain-search-list-changed'
  | 'keychain-search-list-empty'
  | 'keychain-search-list-too-large'
  | 'keychain-search-list-unavailable'
  | 'keychain-state-changed'
  | 'keychain-status-unavailable'
  | 'keychain-unreadable'
  | 'metadata-query-failed'
  | 'query-allocation-failed'
  | 'unexpected-secret-result';

interface ReportFields {
  schemaVersion: 1;
  platform: 'darwin';
  /** The identity probed, or "" when it was not on the allow-list. */
  identity: Identity | '';
  /** The Security framework result code behind the answer, or 0. */
  osStatus: number;
}

/** The entry exists and its metadata could be read without a prompt. */
export interface ProbeFound extends ReportFields {
  status: 'exists';
  reason: 'account-metadata-found';
  osStatus: 0;
  /** The account name of the item found. */
  account: string;
}

/**
 * No entry, or no answer without the user ("access-blocked": a locked or
 * unreadable keychain, or a call that would have needed an interaction),
 * or a failure ("error").
 */
export interface ProbeNotFound extends ReportFields {
  status: 'not-found' | 'access-blocked' | 'error';
  reason: Exclude<ProbeReason, 'account-metadata-found'>;
  account?: undefined;
}

/** lockscout's line, parsed; `account` is there only when `status` is "exists". */
export type ProbeReport = ProbeFound | ProbeNotFound;

export type ProgramName = 'lockscout' | 'keyfetch' | 'keyvet';

/**
 * Thrown (by the synchronous functions) or the rejection (of the promise
 * functions) for an argument of the wrong type ("ERR_INVALID_ARG_TYPE") or
 * a wrong value ("ERR_INVALID_ARG_VALUE": a program name that does not
 * ship, a timeout that is not an integer of milliseconds from 0 to
 * 2147483647). The message names the argument; it shows the value only
 * where that cannot be a key.
 */
export interface ArgumentError extends TypeError {
  code: 'ERR_INVALID_ARG_TYPE' | 'ERR_INVALID_ARG_VALUE';
}

/**
 * Path of one of the package's programs, for this platform and
 * architecture unless others are given. A path inside an Electron
 * `app.asar` is given as the same path inside `app.asar.unpacked`, where
 * the packager must put the programs (asarUnpack). Throws an error with
 * code "ENOTSUP" where the package has no build (every system but macOS),
 * and an ArgumentError for a name that is not a program of the package.
 */
export function programPath(
  name: ProgramName,
  options?: { platform?: NodeJS.Platform; arch?: string; dir?: string },
): string;

/** `path` with an `app.asar` component replaced by `app.asar.unpacked`. */
export function unpackedPath(path: string): string;

export interface SyncProgramOptions {
  /** Replaces the child's environment (on Linux the stand-in keychain is found through HOME). */
  env?: NodeJS.ProcessEnv;
  /**
   * Milliseconds the program may take; 0 or left out for no limit. When
   * it runs out the program is killed and the call fails with code
   * "ETIMEDOUT".
   */
  timeout?: number;
}

export interface ProgramOptions extends SyncProgramOptions {
  /**
   * Aborting it kills the program and rejects with an AbortError (code
   * "ABORT_ERR", `cause` the signal's reason); a signal already aborted
   * rejects at once and starts nothing.
   */
  signal?: AbortSignal;
}

/** Rejection when the timeout ran out or the signal aborted; the program was killed. */
export interface ProgramStoppedError extends Error {
  code: 'ETIMEDOUT' | 'ABORT_ERR';
}

/**
 * Runs lockscout for the identity and resolves with its report. Every
 * keychain outcome is in the report; the promise rejects only when
 * lockscout could not run or finish: a ProgramStoppedError, an
 * ArgumentError, "ENOTSUP" where the package ships no program, or an
 * error for a run that ended without its line.
 */
export function probeIdentity(identity: Identity, options?: ProgramOptions): Promise<ProbeReport>;

/** probeIdentity, blocking the script thread until lockscout exits; throws where that rejects. */
export function probeIdentitySync(identity: Identity, options?: SyncProgramOptions): ProbeReport;

/**
 * Rejection of readKey and createKey: `code` is keyfetch's exit status when
 * it ran (1: refused or failed, for example no key or an identity off the
 * allow-list; 2: overlong input or a broken read), the signal that ended
 * it, or "ETIMEDOUT" / "ABORT_ERR" when the call's timeout or signal
 * killed it. The message names the command and the status only, never a
 * key. When keyfetch cannot be started at all the rejection is the
 * system's error instead (`code` "ENOTSUP" where the package ships no
 * program, else an errno name such as "EACCES"), and an ArgumentError for
 * arguments of the wrong type.
 */
export interface KeyfetchError extends Error {
  code: 1 | 2 | NodeJS.Signals | ProgramStoppedError['code'];
}

/** The identity's key from the keychain. Rejects with a KeyfetchError; the key never appears in an error. */
export function readKey(identity: Identity, options?: ProgramOptions): Promise<Buffer>;

/**
 * Stores `bytes` (1 to 1024) as the identity's key unless it has one, and
 * resolves with the key stored afterwards (the existing one, if any).
 */
export function createKey(identity: Identity, bytes: Uint8Array, options?: ProgramOptions): Promise<Buffer>;
