// Named ES module exports over the CommonJS entry, whose exports node
// cannot see statically because they come from a native module.
import anchorfile from './index.js';

export const {
  publishNoReplace,
  inspectPath,
  removeAnchoredFile,
  recoverAnchoredRemoval,
  publicationQuarantineName,
  contentQuarantineName,
  publicationTemporaryName,
  quarantineKind,
  isPublicationTemporary,
  directoryIdentity,
  fileIdentity,
  recoverListedQuarantine,
  promises,
} = anchorfile;
export default anchorfile;
