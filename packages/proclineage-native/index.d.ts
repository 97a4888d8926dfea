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
  /**
   * True when the list is known to be whole. False when the system's list
   * of processes may have been cut short, or when a process of the
   * caller's user could not be read consistently (it changed while being
   * read, or a read failed while it still exists); such a process is left
   * out and every other one is listed. Processes that exit meanwhile and
   * other users' processes are left out without making it false.
   */
  complete: boolean;
}

/** The process `pid` if it runs as the caller's user and reads consistently, else null. */
export function getDarwinProcess(pid: number): DarwinProcess | null;

/**
 * The process's argument vector, its own first argument included, empty
 * arguments kept where they stand, or null when the kernel refuses the
 * process's argument area (another user's process, unless the caller is
 * root), the process is gone, or the area cannot be read exactly. Bytes
 * that are not UTF-8 come back as U+FFFD.
 */
export function getDarwinProcessArguments(pid: number): string[] | null;

/**
 * The value of the variable `name` (1 to 255 UTF-8 bytes) in the process's
 * environment: the string (bytes that are not UTF-8 come back as U+FFFD),
 * false when absent or the process is gone, null when the process's
 * argument area cannot be read (refused by the kernel, as another user's
 * process is unless the caller is root, or not readable exactly just now).
 */
export function getDarwinEnvironmentValue(pid: number, name: string): string | false | null;

/** Every readable process of the caller's user, or null when none can be listed. */
export function listDarwinProcesses(): DarwinProcessList | null;

/** The promise form, the same object as `require('@native/proclineage/promises')`. */
export const promises: typeof import('./promises.js');
