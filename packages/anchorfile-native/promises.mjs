// Named ES module exports over the CommonJS promise form.
import promises from './promises.js';

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
} = promises;
export default promises;
