/** The four identities the keychain programs accept. */
export type Identity = 'Velkor Atlas' | 'Velkor Atlas (DEV)' | 'Velkor-Atlas' | 'Velkor-Atlas (DEV)';

export type ProbeStatus = 'exists' | 'not-found' | 'access-blocked' | 'error';

/** lockscout's line, parsed. `account` is present only when `status` is "exists". */
export interface ProbeReport {
  schemaVersion: 1;
  platform: 'darwin';
  /** The identity probed, or "" when it was not on the allow-list. */
  identity: Identity | '';
  status: ProbeStatus;
  /** A fixed lower-case, hyphenated word, e.g. "account-not-found" or "keychain-locked". */
  reason: string;
  /** The Security framework result code behind the answer, or 0. */
  osStatus: number;
  account?: string;
}

/** Path of one of the package's programs; throws when it is not built. */
export function programPath(name: 'lockscout' | 'keyfetch' | 'keyvet'): string;

/**
 * Runs lockscout for the identity and returns its report. Every keychain
 * outcome is in the report; the call throws only when lockscout could not
 * run. `env` replaces the child's environment (the keychain is the user's,
 * found through HOME on Linux).
 */
export function probeIdentity(identity: string, options?: { env?: NodeJS.ProcessEnv }): ProbeReport;
