// The ES module face of macaddress.js: importing it runs that file once, which sets
// globalThis.TalvoroMac; the names below are the ones it holds.
import "./macaddress.js";

const { getMacAddress, errors, CALLBACK_PREFIX, DEFAULT_BASE } = globalThis.TalvoroMac;
export { getMacAddress, errors, CALLBACK_PREFIX, DEFAULT_BASE };
export default getMacAddress;
