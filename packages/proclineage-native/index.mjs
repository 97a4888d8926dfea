// Named ES module exports over the CommonJS entry, whose exports node
// cannot see statically because they come from a native module.
import proclineage from './index.js';

export const {
  getDarwinProcess,
  getDarwinProcessArguments,
  getDarwinEnvironmentValue,
  listDarwinProcesses,
  promises,
} = proclineage;
export default proclineage;
