/** Error thrown by every anchorfile function: a fixed sentence and a code. */
export interface AnchorfileError extends Error {
  code: 'EPERM' | 'ENOENT' | 'EEXIST' | 'EXDEV' | 'EINVAL' | 'ENOTSUP' | 'ELOOP' | 'ESTALE' | 'EIO';
}

/** On macOS the answer is fixed: local storage with hard links. */
export interface StoragePathInfo {
  isRemote: false;
  supportsHardLinks: true;
}

/**
 * Gives `source` the name `destination` in the directory `parent` below
 * `root`, atomically, never replacing an existing entry. `parent` is a
 * relative path of simple names joined by "/", or "" for the root itself.
 * Throws an AnchorfileError on every failure.
 */
export function publishNoReplace(root: string, parent: string, source: string, destination: string): void;

/** Whether the storage holding `path` is remote and supports hard links. */
export function inspectPath(path: string): StoragePathInfo;

/**
 * Removes exactly the identified file `name` in `parent` below `root`
 * through the new quarantine directory `quarantine`, which receives a
 * durable receipt first. Identities are those of `fs.statSync(p, {bigint: true})`.
 */
export function removeAnchoredFile(
  root: string,
  parent: string,
  name: string,
  parentDevice: bigint,
  parentInode: bigint,
  device: bigint,
  inode: bigint,
  size: bigint,
  modificationTimeNs: bigint,
  quarantine: string,
): void;

/**
 * Finishes or undoes an interrupted removal left in `quarantine`, or
 * removes an empty quarantine. The expected file name is optional.
 */
export function recoverAnchoredRemoval(
  root: string,
  parent: string,
  quarantine: string,
  parentDevice: bigint,
  parentInode: bigint,
  name?: string,
): void;

/**
 * A fresh publication quarantine name: ".publication-recovery-" and a new
 * lowercase version-4 UUID. Recoverable by the 5-argument
 * `recoverAnchoredRemoval` only when the removed file is a publication
 * temporary (see `isPublicationTemporary`) in `content/blobs/<its first two
 * hex digits>`; for any other file use `contentQuarantineName`.
 */
export function publicationQuarantineName(): string;

/** ".content-recovery-" and the 64 lowercase hex digits; throws code "EINVAL" otherwise. */
export function contentQuarantineName(digest: string): string;

/** A fresh publication temporary name: the 64 hex digits, ".", a new UUID, ".tmp". */
export function publicationTemporaryName(digest: string): string;

/** Which kind of quarantine a directory entry's name is, or null for none. */
export function quarantineKind(name: string): 'publication' | 'content' | null;

/** Whether `name` is a publication temporary (64 hex digits, ".", a UUID, ".tmp"). */
export function isPublicationTemporary(name: string): boolean;

/**
 * [device, inode] of a directory, in the order the removal and recovery calls
 * take them. Each is unsigned 64-bit: a device number that the file status
 * reports negative (bit 31 set on macOS) is returned as its unsigned reading.
 */
export function directoryIdentity(path: string): [device: bigint, inode: bigint];

/**
 * [device, inode, size, modification time in ns] of a file (not following a
 * symbolic link). Device, inode and size are unsigned 64-bit, as
 * directoryIdentity's; the modification time is signed.
 */
export function fileIdentity(path: string): [device: bigint, inode: bigint, size: bigint, modificationTimeNs: bigint];

/**
 * Recovers `entry`, found in a listing of `parent`, when it is a quarantine:
 * false when it is none, true once it is gone. A content quarantine needs
 * `name`, the file it was removing (throws code "EINVAL" without it).
 * Throws an AnchorfileError when recovery fails.
 */
export function recoverListedQuarantine(root: string, parent: string, entry: string, name?: string): boolean;

/** The promise form, the same object as `require('@native/anchorfile/promises')`. */
export const promises: typeof import('./promises.js');
