/**
 * The promise form of @native/proclineage: each function runs the
 * synchronous one of the same name on a worker thread and resolves with
 * its answer. If the worker running a call stops before the call returns,
 * the call rejects with a `WorkerExitedError`.
 */
import type * as sync from './index.js';

export type { DarwinProcess, DarwinProcessList } from './index.js';

/** The rejection of a call whose worker thread stopped before the call returned. */
export interface WorkerExitedError extends Error {
  code: 'ERR_WORKER_EXITED';
  exitCode: number;
}

export function getDarwinProcess(pid: number): Promise<sync.DarwinProcess | null>;
export function getDarwinProcessArguments(pid: number): Promise<string[] | null>;
export function getDarwinEnvironmentValue(pid: number, name: string): Promise<string | false | null>;
export function listDarwinProcesses(): Promise<sync.DarwinProcessList | null>;
