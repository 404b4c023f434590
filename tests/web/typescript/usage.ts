// A site's module using the whole API of the installed package; it must type-check cleanly.
import getMacAddressDefault, {
  CALLBACK_PREFIX, DEFAULT_BASE, errors, getMacAddress,
  type MacAddressError, type MacAddressErrorCode, type MacAddressOptions,
} from "talvoro-macaddress";
// Where a bundler loads the classic script itself, its global comes with it.
import "talvoro-macaddress/classic";

const options: MacAddressOptions = {
  param: "YA2XRKslq1CPfM37oZaj/A==", timeoutMs: 2000, promptWaitMs: 0, base: DEFAULT_BASE,
};
const ask: typeof getMacAddress = getMacAddressDefault;

// Every code is handled and nothing else is: a code added to or dropped from the union fails
// here, at `never` or at a case that no longer fits.
function advice(error: MacAddressError): string {
  switch (error.code) {
    case errors.LOCAL_ACCESS_BLOCKED: return "allow local network access: " + error.permission;
    case "SERVICE_UNREACHABLE": return "start the service";
    case errors.INVALID_REPLY: return "another program holds the port";
    case "INVALID_ARGUMENT": return error.message;
    default: {
      const unhandled: never = error.code;
      return unhandled;
    }
  }
}

export async function show(): Promise<string> {
  try {
    const address: string = await ask(options);
    const again: string = await globalThis.TalvoroMac.getMacAddress({ param: options.param });
    return address || again || CALLBACK_PREFIX;
  } catch (caught) {
    return advice(caught as MacAddressError);
  }
}

const codes: readonly MacAddressErrorCode[] = Object.values(errors);
export const classicCodes: boolean = codes.includes(TalvoroMac.errors.INVALID_REPLY) &&
                                     TalvoroMac.DEFAULT_BASE === DEFAULT_BASE;
