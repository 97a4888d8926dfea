/** Error thrown by every anchorfile function: a fixed sentence and a code. */
export interface AnchorfileError extends Error {
  code: 'EPERM' | 'ENOENT' | 'EEXIST' | 'EXDEV' | 'EINVAL' | 'ENOTSUP' | 'ELOOP' | 'ESTALE' | 'EIO';
}

export interface StoragePathInfo {
  isRemote: boolean;
  supportsHardLinks: boolean;
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
