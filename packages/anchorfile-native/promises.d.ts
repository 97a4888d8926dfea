/**
 * The promise form of @native/anchorfile. Each call that touches the file
 * system runs the synchronous call of the same name on a worker thread and
 * settles with its result, or rejects with the error it throws (the same
 * class, message and `code`). If the worker running a call stops before
 * the call returns, the call rejects with a `WorkerExitedError`; a removal
 * or recovery may then have stopped half-way, as after a crash, and its
 * quarantine is recovered as at start-up. The name functions are the
 * synchronous ones.
 */
import type * as sync from './index.js';

export type { AnchorfileError, StoragePathInfo } from './index.js';
export {
  publicationQuarantineName, contentQuarantineName, publicationTemporaryName, quarantineKind, isPublicationTemporary,
} from './index.js';

/** The rejection of a call whose worker thread stopped before the call returned. */
export interface WorkerExitedError extends Error {
  code: 'ERR_WORKER_EXITED';
  exitCode: number;
}

export function publishNoReplace(...args: Parameters<typeof sync.publishNoReplace>): Promise<void>;
export function inspectPath(...args: Parameters<typeof sync.inspectPath>): Promise<sync.StoragePathInfo>;
export function removeAnchoredFile(...args: Parameters<typeof sync.removeAnchoredFile>): Promise<void>;
export function recoverAnchoredRemoval(...args: Parameters<typeof sync.recoverAnchoredRemoval>): Promise<void>;
export function directoryIdentity(...args: Parameters<typeof sync.directoryIdentity>): Promise<ReturnType<typeof sync.directoryIdentity>>;
export function fileIdentity(...args: Parameters<typeof sync.fileIdentity>): Promise<ReturnType<typeof sync.fileIdentity>>;
export function recoverListedQuarantine(...args: Parameters<typeof sync.recoverListedQuarantine>): Promise<boolean>;
