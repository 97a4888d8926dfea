/**
 * One process of the caller's user. `uniqueId` and `parentUniqueId` are
 * 64-bit identifiers in unsigned decimal, never reused while the system
 * runs: compare them (or `BigInt(uniqueId)`) to tell a process from a later
 * one with the same `pid`, and link `parentUniqueId` to a parent's
 * `uniqueId` to build a tree.
 */
export interface DarwinProcess {
  pid: number;
  ppid: number;
  pgid: number;
  sid: number;
  uniqueId: string;
  parentUniqueId: string;
}

export interface DarwinProcessList {
  processes: DarwinProcess[];
  /** False when processes may be missing from the list. */
  complete: boolean;
}

/** The process `pid` if it runs as the caller's user and reads consistently, else null. */
export function getDarwinProcess(pid: number): DarwinProcess | null;

/** The process's argument vector, its own first argument included, or null. */
export function getDarwinProcessArguments(pid: number): string[] | null;

/**
 * The value of the variable `name` (1 to 255 UTF-8 bytes) in the process's
 * environment: the string, false when absent or the process is gone, null
 * when it cannot be read.
 */
export function getDarwinEnvironmentValue(pid: number, name: string): string | false | null;

/** Every readable process of the caller's user, or null when none can be listed. */
export function listDarwinProcesses(): DarwinProcessList | null;

/** The promise form, the same object as `require('@native/proclineage/promises')`. */
export const promises: typeof import('./promises.js');
