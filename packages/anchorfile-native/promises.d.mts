export * from './promises.js';
import * as module from './promises.js';
export default module;
