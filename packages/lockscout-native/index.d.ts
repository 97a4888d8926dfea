/** The four identities the keychain programs accept. */
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
 * Path of one of the package's programs, for this platform and
 * architecture unless others are given. A path inside an Electron
 * `app.asar` is given as the same path inside `app.asar.unpacked`, where
 * the packager must put the programs (asarUnpack). Throws an error with
 * code "ENOTSUP" where the package has no build (every system but macOS).
 */
export function programPath(
  name: ProgramName,
  options?: { platform?: NodeJS.Platform; arch?: string; dir?: string },
): string;

/** `path` with an `app.asar` component replaced by `app.asar.unpacked`. */
export function unpackedPath(path: string): string;

export interface ProgramOptions {
  /** Replaces the child's environment (on Linux the stand-in keychain is found through HOME). */
  env?: NodeJS.ProcessEnv;
}

/**
 * Runs lockscout for the identity and resolves with its report. Every
 * keychain outcome is in the report; the promise rejects only when
 * lockscout could not run.
 */
export function probeIdentity(identity: string, options?: ProgramOptions): Promise<ProbeReport>;

/** probeIdentity, blocking the script thread until lockscout exits. */
export function probeIdentitySync(identity: string, options?: ProgramOptions): ProbeReport;

/**
 * Rejection of readKey and createKey when keyfetch ran: `code` is its exit
 * status (1: refused or failed, for example no key or an identity off the
 * allow-list; 2: overlong input or a broken read) or the signal that ended
 * it. The message names the command and the status only, never a key.
 * When keyfetch cannot be started at all the rejection is the system's
 * error instead (`code` "ENOTSUP" where the package ships no program,
 * else an errno name such as "EACCES").
 */
export interface KeyfetchError extends Error {
  code: 1 | 2 | NodeJS.Signals;
}

/** The identity's key from the keychain. Rejects with a KeyfetchError; the key never appears in an error. */
export function readKey(identity: Identity, options?: ProgramOptions): Promise<Buffer>;

/**
 * Stores `bytes` (1 to 1024) as the identity's key unless it has one, and
 * resolves with the key stored afterwards (the existing one, if any).
 */
export function createKey(identity: Identity, bytes: Uint8Array, options?: ProgramOptions): Promise<Buffer>;
