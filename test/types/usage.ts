// An application's use of the three packages, type-checked against the
// shipped declarations (CommonJS here; usage.mts is the ES module side).
// Each @ts-expect-error line is a mistake the declarations must catch: if
// they grow loose (a lost `| null`, numbers accepted for BigInts, an open
// string where a closed set of words is returned), tsc fails on the
// now-unneeded directive.
import * as fs from 'fs';
import {
  publishNoReplace, inspectPath, removeAnchoredFile, recoverAnchoredRemoval, publicationQuarantineName,
  contentQuarantineName, publicationTemporaryName, quarantineKind, isPublicationTemporary,
  directoryIdentity, fileIdentity, recoverListedQuarantine, AnchorfileError,
} from '@native/anchorfile';
import {
  getDarwinProcess, getDarwinProcessArguments, getDarwinEnvironmentValue, listDarwinProcesses,
} from '@native/proclineage';
import {
  programPath, unpackedPath, probeIdentity, probeIdentitySync, readKey, createKey, ProbeReport, KeyfetchError,
  Identity, ArgumentError,
} from '@native/lockscout';

export function anchorfileUsage(root: string, digest: string): void {
  publishNoReplace(root, 'content/blobs/ab', 'upload.tmp', 'final');
  const info = inspectPath(root);
  const remote: false = info.isRemote;
  const links: true = info.supportsHardLinks;
  void remote; void links;

  const temporary: string = publicationTemporaryName(digest);
  const [parentDev, parentIno] = directoryIdentity(`${root}/content/blobs/ab`);
  const [dev, ino, size, mtimeNs] = fileIdentity(`${root}/content/blobs/ab/${temporary}`);
  const quarantine = isPublicationTemporary(temporary) ? publicationQuarantineName() : contentQuarantineName(digest);
  removeAnchoredFile(root, 'content/blobs/ab', temporary, parentDev, parentIno, dev, ino, size, mtimeNs, quarantine);
  recoverAnchoredRemoval(root, 'content/blobs/ab', quarantine, parentDev, parentIno);
  recoverAnchoredRemoval(root, 'a', contentQuarantineName(digest), parentDev, parentIno, 'x');
  const stat = fs.statSync(root, { bigint: true });
  recoverAnchoredRemoval(root, '', quarantine, stat.dev, stat.ino);
  // @ts-expect-error identities are BigInts, not numbers
  recoverAnchoredRemoval(root, '', quarantine, 1, 2);
  // @ts-expect-error the quarantine name is not optional
  removeAnchoredFile(root, 'a', 'x', parentDev, parentIno, dev, ino, size, mtimeNs);

  const kind = quarantineKind('.content-recovery-0');
  if (kind !== null) {
    const known: 'publication' | 'content' = kind;
    void known;
  }
  // @ts-expect-error a name that is no quarantine gives null
  const always: 'publication' | 'content' = quarantineKind('x');
  void always;
  const recovered: boolean = recoverListedQuarantine(root, 'a', '.content-recovery-0', 'x');
  void recovered;

  try {
    publishNoReplace(root, '', 'a', 'b');
  } catch (error) {
    const code = (error as AnchorfileError).code;
    if (code === 'EEXIST' || code === 'ESTALE') return;
    // @ts-expect-error not a code anchorfile throws
    if (code === 'EBUSY') return;
  }
}

export function proclineageUsage(pid: number): void {
  const self = getDarwinProcess(pid);
  // @ts-expect-error a process that cannot be read is null
  void getDarwinProcess(pid).uniqueId;
  if (self !== null) {
    const id: string = self.uniqueId;
    const parent: bigint = BigInt(self.parentUniqueId);
    void id; void parent;
  }
  const args = getDarwinProcessArguments(pid);
  if (args !== null) void args.join(' ');
  const value = getDarwinEnvironmentValue(pid, 'PATH');
  if (value === false || value === null) return;
  const text: string = value;
  void text;
  // @ts-expect-error absent is false, unreadable is null
  const always: string = getDarwinEnvironmentValue(pid, 'HOME');
  void always;
  const list = listDarwinProcesses();
  if (list !== null && list.complete) void list.processes.map((p) => p.parentUniqueId);
}

export async function lockscoutUsage(): Promise<void> {
  const report: ProbeReport = await probeIdentity('Velkor Atlas');
  if (report.status === 'exists') {
    const account: string = report.account;
    void account;
  } else {
    // @ts-expect-error only a found entry has an account
    const account: string = report.account;
    void account;
    // @ts-expect-error a missing entry never has the found reason
    if (report.reason === 'account-metadata-found') return;
    if (report.status === 'access-blocked' && report.reason === 'keychain-locked') return;
  }
  // @ts-expect-error not a status lockscout prints
  if (probeIdentitySync('Velkor Atlas').status === 'locked') return;
  // @ts-expect-error a misspelt identity (lower-case a)
  await probeIdentity('Velkor atlas');
  // @ts-expect-error a misspelt identity (no space before the suffix)
  probeIdentitySync('Velkor-Atlas(DEV)');
  const identities: Identity[] = ['Velkor Atlas', 'Velkor Atlas (DEV)', 'Velkor-Atlas', 'Velkor-Atlas (DEV)'];
  // @ts-expect-error not one of the four
  const other: Identity = 'Velkor Atlas (PROD)';
  void identities; void other;
  const controller = new AbortController();
  await probeIdentity('Velkor-Atlas (DEV)', { timeout: 5000, signal: controller.signal });
  // @ts-expect-error the blocking form takes no signal
  probeIdentitySync('Velkor Atlas', { signal: controller.signal });

  const key: Buffer = await readKey('Velkor Atlas');
  const created: Buffer = await createKey('Velkor Atlas (DEV)', new Uint8Array([1, 2, 3]));
  void key; void created;
  // @ts-expect-error keyfetch serves only the four identities
  await readKey('Someone Else');
  // @ts-expect-error the key is bytes, not text
  await createKey('Velkor Atlas', 'secret');
  // @ts-expect-error a misspelt identity
  await createKey('Velkor Atlas (Dev)', new Uint8Array([1]));
  try {
    await readKey('Velkor-Atlas', { timeout: 10000, signal: AbortSignal.timeout(20000) });
  } catch (error) {
    const code = (error as KeyfetchError).code;
    if (code === 1 || code === 2 || code === 'SIGKILL' || code === 'ETIMEDOUT' || code === 'ABORT_ERR') return;
    // @ts-expect-error not a code keyfetch's calls reject with
    if (code === 'EPIPE') return;
  }
  try {
    programPath('keyfetch', { dir: '/opt/app' });
  } catch (error) {
    if ((error as ArgumentError).code === 'ERR_INVALID_ARG_VALUE') return;
  }
  const program: string = programPath('keyfetch', { platform: 'darwin', arch: 'arm64' });
  void unpackedPath(program);
  // @ts-expect-error only the three programs ship
  programPath('security');
}

// The promise forms: the same arguments, a promise of the same result, and
// the name functions the same as the synchronous ones.
import * as anchorfilePromises from '@native/anchorfile/promises';
import { promises as anchorfileFromMain } from '@native/anchorfile';
import * as proclineagePromises from '@native/proclineage/promises';

export async function promiseUsage(root: string, digest: string, pid: number): Promise<void> {
  const [parentDev, parentIno] = await anchorfilePromises.directoryIdentity(`${root}/content/blobs/ab`);
  const temporary = anchorfilePromises.publicationTemporaryName(digest);
  const [dev, ino, size, mtimeNs] = await anchorfileFromMain.fileIdentity(`${root}/content/blobs/ab/${temporary}`);
  const quarantine = anchorfilePromises.publicationQuarantineName();
  const removed: Promise<void> = anchorfilePromises.removeAnchoredFile(root, 'content/blobs/ab', temporary,
    parentDev, parentIno, dev, ino, size, mtimeNs, quarantine);
  await removed;
  await anchorfilePromises.recoverAnchoredRemoval(root, 'content/blobs/ab', quarantine, parentDev, parentIno);
  const info: anchorfilePromises.StoragePathInfo = await anchorfilePromises.inspectPath(root);
  const recovered: boolean = await anchorfilePromises.recoverListedQuarantine(root, 'a', quarantine);
  void info; void recovered;
  // @ts-expect-error identities are BigInts in the promise form too
  await anchorfilePromises.recoverAnchoredRemoval(root, '', quarantine, 1, 2);
  // @ts-expect-error the promise form gives a promise, not the answer
  const now: boolean = anchorfilePromises.recoverListedQuarantine(root, 'a', quarantine);
  void now;
  try {
    await anchorfilePromises.publishNoReplace(root, '', 'a', 'b');
  } catch (error) {
    const code = (error as anchorfilePromises.AnchorfileError | anchorfilePromises.WorkerExitedError).code;
    if (code === 'EEXIST' || code === 'ERR_WORKER_EXITED') return;
  }

  const self = await proclineagePromises.getDarwinProcess(pid);
  if (self !== null) void BigInt(self.uniqueId);
  const args: string[] | null = await proclineagePromises.getDarwinProcessArguments(pid);
  const value: string | false | null = await proclineagePromises.getDarwinEnvironmentValue(pid, 'PATH');
  void args; void value;
  const list = await proclineagePromises.listDarwinProcesses();
  if (list !== null && list.complete) void list.processes.length;
  // @ts-expect-error a process that cannot be read is null
  void (await proclineagePromises.getDarwinProcess(pid)).pid;
}
