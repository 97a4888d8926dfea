// The ES module side: named imports and the default export of each
// package, resolved through the "import" condition.
import anchorfile, { publicationQuarantineName, type StoragePathInfo } from '@native/anchorfile';
import proclineage, { getDarwinProcess, type DarwinProcess } from '@native/proclineage';
import lockscout, { probeIdentity, type ProbeReport } from '@native/lockscout';
import anchorfilePromises, { removeAnchoredFile as removeLater } from '@native/anchorfile/promises';
import { listDarwinProcesses as listLater } from '@native/proclineage/promises';

const name: string = publicationQuarantineName();
const info: StoragePathInfo = anchorfile.inspectPath(name);
const self: DarwinProcess | null = getDarwinProcess(process.pid) ?? proclineage.getDarwinProcess(1);
const report: Promise<ProbeReport> = probeIdentity('Velkor Atlas');
const same: typeof probeIdentity = lockscout.probeIdentity;
const later: typeof removeLater = anchorfilePromises.removeAnchoredFile;
const listing: ReturnType<typeof listLater> = listLater();
// @ts-expect-error no such export
import { removeAll } from '@native/anchorfile';
export { info, self, report, same, later, listing, removeAll };
