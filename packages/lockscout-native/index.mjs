// Named ES module exports over the CommonJS entry.
import lockscout from './index.js';

export const {
  programPath,
  unpackedPath,
  probeIdentity,
  probeIdentitySync,
  readKey,
  createKey,
} = lockscout;
export default lockscout;
