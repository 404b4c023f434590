// The global the classic script (macaddress.js) sets. A page's TypeScript gets it with
// `/// <reference types="talvoro-macaddress/classic" />`, or with
// `import "talvoro-macaddress/classic"` where a bundler loads the script.
import type { CALLBACK_PREFIX, DEFAULT_BASE, errors, getMacAddress } from "./macaddress.js";

declare global {
  /** The client, set on globalThis by macaddress.js; frozen. */
  var TalvoroMac: Readonly<{
    getMacAddress: typeof getMacAddress;
    errors: typeof errors;
    CALLBACK_PREFIX: typeof CALLBACK_PREFIX;
    DEFAULT_BASE: typeof DEFAULT_BASE;
  }>;
}

export {};
