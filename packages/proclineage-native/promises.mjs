// Named ES module exports over the CommonJS promise form.
import promises from './promises.js';

export const {
  getDarwinProcess,
  getDarwinProcessArguments,
  getDarwinEnvironmentValue,
  listDarwinProcesses,
} = promises;
export default promises;
