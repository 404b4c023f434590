// Declarations of the ES module face (macaddress.mjs); classic.d.ts declares the classic
// script's global, TalvoroMac, with the same types.

/** Options of one getMacAddress call. Only the object's own properties are read. */
export interface MacAddressOptions {
  /**
   * The request parameter for the page's origin: the Base64 text that `macparam encode`
   * prints, as it is (not URL-encoded).
   */
  param: string;
  /** How long the service may take to answer, in milliseconds; more than 0. Default 5000. */
  timeoutMs?: number;
  /**
   * How long, in milliseconds, a call waits for an answer while the browser's local-network
   * prompt may be showing for this page; 0 turns the waiting off. Default 60000.
   */
  promptWaitMs?: number;
  /**
   * The service's origin: http or https on 127.0.0.0/8, localhost or [::1], with a port at
   * most. Default "http://127.0.0.1:10032".
   */
  base?: string;
}

/** Why a call failed: the `code` of its error. */
export type MacAddressErrorCode =
  /** The browser's local-network permission for this page is denied, or its prompt unanswered. */
  | "LOCAL_ACCESS_BLOCKED"
  /** Nothing answered within the time-out: no service, or the connection was refused. */
  | "SERVICE_UNREACHABLE"
  /** Something answered on the address, but not as the service does. */
  | "INVALID_REPLY"
  /** An option is missing or malformed. */
  | "INVALID_ARGUMENT";

/** The error a call rejects with. */
export interface MacAddressError extends Error {
  code: MacAddressErrorCode;
  /**
   * For a request that got no answer: the state of the browser's local-network permission for
   * this page as read, or null where the browser has no such permission. (The same values as
   * the DOM's PermissionState, written out so that a project without the DOM library can use
   * these declarations.)
   */
  permission?: "granted" | "denied" | "prompt" | null;
}

/** The error codes by name, frozen. */
export declare const errors: Readonly<{
  LOCAL_ACCESS_BLOCKED: "LOCAL_ACCESS_BLOCKED";
  SERVICE_UNREACHABLE: "SERVICE_UNREACHABLE";
  INVALID_REPLY: "INVALID_REPLY";
  INVALID_ARGUMENT: "INVALID_ARGUMENT";
}>;

/** The start of every callback name the client gives the service. */
export declare const CALLBACK_PREFIX: string;

/** The service's origin when `base` is not given: "http://127.0.0.1:10032". */
export declare const DEFAULT_BASE: string;

/**
 * Asks the service on this device for the machine's hardware address.
 *
 * Resolves with the address, such as "00-1A-2B-3C-4D-5E", or with "" when the service withholds
 * it (the page's origin does not match `param`). Rejects with a {@link MacAddressError}; options
 * that are missing or malformed reject with INVALID_ARGUMENT rather than throw.
 */
export declare function getMacAddress(options: MacAddressOptions): Promise<string>;

export default getMacAddress;
