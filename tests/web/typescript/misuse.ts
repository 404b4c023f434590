// Mistakes the declarations must reject. Each line that ends in "// error TSnnnn" must draw that
// diagnostic, and no other line any.
import {
  errors, getMacAddress, type MacAddressError, type MacAddressOptions,
} from "talvoro-macaddress";
import "talvoro-macaddress/classic";

const param = "YA2XRKslq1CPfM37oZaj/A==";
getMacAddress({ param, timeoutMs: "5000" }); // error TS2322
getMacAddress({ param, promptWaitMs: true }); // error TS2322
export const noParam: MacAddressOptions = { timeoutMs: 5000 }; // error TS2741
getMacAddress({ param, timeout: 5000 }); // error TS2561
getMacAddress(param); // error TS2345
export const unknownCode = (error: MacAddressError) => error.code === "TIMED_OUT"; // error TS2367
export const unknownName = errors.TIMED_OUT; // error TS2339
errors.INVALID_REPLY = "INVALID_REPLY"; // error TS2540
export const notNumber: number = await getMacAddress({ param }); // error TS2322
export const notState = (error: MacAddressError) => error.permission === "allowed"; // error TS2367
TalvoroMac.getMacAddres({ param }); // error TS2551
TalvoroMac.DEFAULT_BASE = "http://127.0.0.1:1"; // error TS2540
