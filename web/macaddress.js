/* macaddress.js: asks the local talvoro_macadress service for this machine's hardware address.
 *
 * Classic script:  <script src="macaddress.js"></script>, then TalvoroMac.getMacAddress(...)
 * ES module:       import { getMacAddress } from "talvoro-macaddress";  (macaddress.mjs)
 *
 * getMacAddress({param, timeoutMs, promptWaitMs, base}) returns a Promise of the address text,
 * such as "00-1A-2B-3C-4D-5E", or "" when the service withholds it (the page's origin does not
 * match the parameter). It rejects with an Error whose `code` is one of TalvoroMac.errors:
 *   LOCAL_ACCESS_BLOCKED  the request failed and the browser's local-network permission for this
 *                         page is not granted: denied, or its prompt not (yet) accepted
 *   SERVICE_UNREACHABLE   nothing answered (no service, refused, or the time-out passed first),
 *                         and the permission is granted or the browser has none for this page
 *   INVALID_REPLY         something answered on the address, but not as the service does
 *   INVALID_ARGUMENT      an option is missing or malformed (see readOptions)
 * A failed request also carries `permission`: the permission's state as the browser read it
 * ("granted", "denied", "prompt"), or null where the browser has no such permission.
 *
 * The reply is read as text and matched against the one line the service writes; nothing of it
 * is ever run. Whatever program holds the port could otherwise run its script in this page.
 */
(function (root) {
  "use strict";

  const DEFAULT_BASE = "http://127.0.0.1:10032";
  const DEFAULT_TIMEOUT_MS = 5000;
  // Long enough for a user to read the browser's prompt and answer it.
  const DEFAULT_PROMPT_WAIT_MS = 60000;
  const CALLBACK_PREFIX = "__talvoroMac_";
  // The service's line is under 200 bytes (a callback name of at most 128); anything past this
  // is not the service, and is not read further.
  const REPLY_LIMIT_BYTES = 1024;
  // Browsers gate a public page's requests to this device by "loopback-network" (older
  // Chromium: "local-network-access"); the service is always on this device.
  const LOOPBACK_PERMISSIONS = ["loopback-network", "local-network-access"];
  // A permission query that never settles must not hold the call's outcome back.
  const PERMISSION_READ_MS = 1000;
  // macparam's output: Base64 text, whole groups of four.
  const PARAM_PATTERN = /^(?:[A-Za-z0-9+/]{4})*(?:[A-Za-z0-9+/]{2}==|[A-Za-z0-9+/]{3}=)?$/;
  const ADDRESS_PATTERN = /^(?:[0-9A-F]{2}(?:-[0-9A-F]{2}){5})?$/;
  const errors = Object.freeze({
    LOCAL_ACCESS_BLOCKED: "LOCAL_ACCESS_BLOCKED",
    SERVICE_UNREACHABLE: "SERVICE_UNREACHABLE",
    INVALID_REPLY: "INVALID_REPLY",
    INVALID_ARGUMENT: "INVALID_ARGUMENT"
  });
  const hasOwn = Object.prototype.hasOwnProperty;
  let calls = 0;

  function failure(code, message, permission) {
    const error = new Error(message);
    error.code = code;
    if (permission !== undefined) error.permission = permission;
    return error;
  }

  function invalidArgument(message) {
    return failure(errors.INVALID_ARGUMENT, message);
  }

  // Only the caller's own properties count: a property put on Object.prototype by anyone else
  // in the page must not choose where the request goes.
  function own(options, name) {
    return hasOwn.call(options, name) ? options[name] : undefined;
  }

  function isLoopbackHost(host) {
    const name = String(host).toLowerCase().replace(/^\[|\]$/g, "");
    return name === "localhost" || /\.localhost$/.test(name) || name === "::1" ||
           /^127\.\d+\.\d+\.\d+$/.test(name);
  }

  // The service's own address: http or https on this device, an optional port, nothing more.
  function readBase(base) {
    if (base === undefined) return DEFAULT_BASE;
    let url = null;
    if (typeof base === "string" && base === base.trim() && !/[?#\\]/.test(base)) {
      try {
        url = new URL(base);
      } catch (error) {
        url = null;
      }
    }
    const host = url && url.hostname.toLowerCase();
    if (!url || (url.protocol !== "http:" && url.protocol !== "https:") || url.username ||
        url.password || url.pathname !== "/" ||
        !(host === "localhost" || host === "[::1]" || /^127\.\d+\.\d+\.\d+$/.test(host))) {
      throw invalidArgument("base must be http:// or https:// on 127.0.0.1 (127.0.0.0/8), " +
                            "localhost or [::1], with a port at most, such as " + DEFAULT_BASE);
    }
    return url.origin;
  }

  function readMilliseconds(value, name, fallback, least) {
    if (value === undefined) return fallback;
    if (typeof value !== "number" || !Number.isFinite(value) || value < least) {
      throw invalidArgument(name + " must be a number of milliseconds" +
                            (least > 0 ? " above 0" : ", 0 or more"));
    }
    return value;
  }

  function readOptions(options) {
    if (options === null || typeof options !== "object") {
      throw invalidArgument("getMacAddress takes an object of options, such as {param}");
    }
    const param = own(options, "param");
    if (typeof param !== "string" || param === "" || !PARAM_PATTERN.test(param)) {
      throw invalidArgument("param must be the Base64 text made by macparam");
    }
    return {
      param: param,
      base: readBase(own(options, "base")),
      timeoutMs: readMilliseconds(own(options, "timeoutMs"), "timeoutMs", DEFAULT_TIMEOUT_MS,
                                  Number.MIN_VALUE),
      promptWaitMs: readMilliseconds(own(options, "promptWaitMs"), "promptWaitMs",
                                     DEFAULT_PROMPT_WAIT_MS, 0)
    };
  }

  // A JavaScript identifier, unique in this page: a counter and a random part, so that two
  // copies of this script on one page never share a name.
  function callbackName() {
    calls += 1;
    return CALLBACK_PREFIX + calls + "_" + Math.floor(Math.random() * 1e9);
  }

  // The address in the service's one line for this call's callback, or null for anything else.
  function parseReply(text, name) {
    const head = name + "({'ret': '";
    const tail = "'});";
    if (!text.startsWith(head) || !text.endsWith(tail) ||
        text.length < head.length + tail.length) {
      return null;
    }
    const address = text.slice(head.length, text.length - tail.length);
    return ADDRESS_PATTERN.test(address) ? address : null;
  }

  // The body as text, at most `limit` bytes; null past that, and the rest is never read.
  async function readBounded(response, limit) {
    const reader = response.body.getReader();
    const parts = [];
    let size = 0;
    for (;;) {
      const { done, value } = await reader.read();
      if (done) break;
      size += value.byteLength;
      if (size > limit) {
        reader.cancel().catch(() => {});
        return null;
      }
      parts.push(value);
    }
    const bytes = new Uint8Array(size);
    let at = 0;
    for (const part of parts) {
      bytes.set(part, at);
      at += part.byteLength;
    }
    try {
      return new TextDecoder("utf-8", { fatal: true }).decode(bytes);
    } catch (error) {
      return null;
    }
  }

  // Which permission names govern this page's requests to the service; none for a page on
  // this device itself, which is never gated, or a browser without a Permissions API.
  function permissionNames() {
    const page = root.location && root.location.hostname;
    const permissions = root.navigator && root.navigator.permissions;
    if ((page && isLoopbackHost(page)) || !permissions || typeof permissions.query !== "function") {
      return [];
    }
    return LOOPBACK_PERMISSIONS;
  }

  // The status object of the first name the browser knows, or null. A query that throws, or
  // answers with something else than a status, counts as unknown.
  async function queryStatus(names) {
    const permissions = root.navigator.permissions;
    for (const name of names) {
      try {
        const status = await permissions.query({ name: name });
        if (status && typeof status.state === "string") return status;
      } catch (error) {
        // A name this browser does not know: try the next.
      }
    }
    return null;
  }

  // One call: the request, the permission's state beside it, and the one timer that bounds
  // whatever it waits for. While the permission reads "prompt", a browser that shows its prompt
  // holds the request until the user answers (Chromium and Firefox both do), so the call waits
  // up to promptWaitMs instead of its time-out; a request that fails while the permission reads
  // "prompt" had no prompt to wait for. The first outcome wins; settling ends the request, the
  // timers and the permission's listener, so that nothing of a call outlives it.
  class Call {
    constructor(settings, resolve, reject) {
      this.settings = settings;
      this.resolve = resolve;
      this.reject = reject;
      this.names = permissionNames();
      this.status = null;      // the permission's status object, once read
      this.read = false;       // whether its first read has ended, with a status or none
      this.controller = null;  // the request's AbortController
      this.answered = false;   // whether the response's headers came
      this.failed = null;      // why the request ended without an answer, until that decides
      this.timer = null;
      this.readTimer = null;   // the bound of a permission read
      this.settled = false;
      this.started = 0;
      this.due = 0;            // when the time-out ends the request
      this.prompted = false;   // whether the permission read "prompt" when last seen
      this.allowed = false;    // whether the user allowed it during the call
      this.retried = false;    // whether the request was sent once more after that
      this.rereading = false;  // whether a failed request waits for a fresh read of the state
      this.onChange = () => this.permissionChanged();
    }

    // After Allow, a fresh read may know it before this status object's change event comes.
    state() {
      const state = this.status ? this.status.state : null;
      return state === "prompt" && this.allowed ? "granted" : state;
    }

    start() {
      this.started = Date.now();
      this.due = this.started + this.settings.timeoutMs;
      if (this.names.length === 0) {
        this.read = true;
      } else {
        this.readStatus((status) => this.permissionRead(status));
      }
      this.send();
      this.arm();
    }

    // Calls back once with the permission's status, or null when the browser has none or its
    // query takes longer than its bound.
    readStatus(callback) {
      let done = false;
      const once = (status) => {
        clearTimeout(this.readTimer);
        if (done) return;
        done = true;
        callback(status);
      };
      this.readTimer = setTimeout(() => once(null), PERMISSION_READ_MS);
      queryStatus(this.names).then(once);
    }

    permissionRead(status) {
      if (this.read || this.settled) return;
      this.read = true;
      this.status = status;
      if (status && typeof status.addEventListener === "function") {
        status.addEventListener("change", this.onChange);
      }
      this.permissionChanged();
    }

    permissionChanged() {
      if (this.settled || !this.read) return;
      const state = this.state();
      if (this.prompted && state === "granted") {
        // The user allowed it: from now on the held request has the time-out of any other.
        this.due = Math.max(this.due, Date.now() + this.settings.timeoutMs);
        this.allowed = true;
      }
      // Only the user's Block is final at once: a permission that reads "denied" from the
      // start may not govern this request at all (Chromium reads it so on pages that are no
      // secure context, also where the page is on this device and nothing is gated).
      const blocked = this.prompted && state === "denied";
      this.prompted = state === "prompt";
      if (blocked) {
        this.finish(failure(errors.LOCAL_ACCESS_BLOCKED, "the user blocked this page from " +
                                                         "reaching the service at " +
                                                         this.settings.base, state));
      } else if (this.failed !== null) {
        this.requestFailed();
      } else {
        this.arm();
      }
    }

    // Whether the user may still be answering the browser's prompt for this call.
    waitsForPrompt() {
      return this.state() === "prompt" && !this.answered &&
             Date.now() < this.started + this.settings.promptWaitMs;
    }

    arm() {
      clearTimeout(this.timer);
      let due = this.due;
      if (this.waitsForPrompt()) due = Math.max(due, this.started + this.settings.promptWaitMs);
      // Browsers run a timer of more than 2^31 - 1 ms at once; a longer wait ends after that
      // long (about 24 days) instead.
      this.timer = setTimeout(() => this.expired(),
                              Math.min(Math.max(0, due - Date.now()), 0x7fffffff));
    }

    expired() {
      if (this.settled) return;
      if (this.answered) {
        this.finish(failure(errors.INVALID_REPLY, this.settings.base + " did not end its " +
                                                  "reply within " + this.settings.timeoutMs +
                                                  " ms"));
      } else if (!this.read) {
        // Whether a prompt holds the request is for the permission's read to tell; it ends
        // within its own bound and arms the timer again.
      } else {
        const message = "the service at " + this.settings.base + " did not answer within " +
                        (Date.now() - this.started) + " ms";
        this.abort();
        this.unanswered(message);
      }
    }

    send() {
      const settings = this.settings;
      const controller = new AbortController();
      this.controller = controller;
      const name = callbackName();
      // The parameter goes in as it is: the service reads its '+', '/' and '=' literally. The
      // three fields after it are placeholders the service expects; the last defeats caches.
      const url = settings.base + "/?callback=" + name + "&" + settings.param + "&b&c&d&_=" +
                  Date.now();
      // A dictionary without a prototype: fetch reads its options through the prototype
      // chain, where a polluted Object.prototype could add headers or a body.
      const init = Object.assign(Object.create(null), {
        method: "GET",
        mode: "cors",
        // Cookies of other local web apps must not go to whatever answers on the port.
        credentials: "omit",
        cache: "no-store",
        redirect: "error",
        // The service checks the page's origin in the Referer; browsers drop the Referer on
        // the way from an https page to http unless the request asks.
        referrerPolicy: "origin",
        signal: controller.signal
      });
      const current = () => this.controller === controller && !this.settled;
      root.fetch(url, init).then((response) => {
        if (!current()) return undefined;
        // A request the prompt held may answer after its time-out passed, before the change
        // event: its reply gets the time-out of any other from now on.
        if (this.waitsForPrompt()) this.due = Math.max(this.due, Date.now() + settings.timeoutMs);
        this.answered = true;
        this.arm();
        if (response.status !== 200 || !response.body) {
          return this.finish(failure(errors.INVALID_REPLY, settings.base + " answered with " +
                                                           "status " + response.status));
        }
        return readBounded(response, REPLY_LIMIT_BYTES).then((text) => {
          if (!current()) return;
          const address = text === null ? null : parseReply(text, name);
          if (address === null) {
            this.finish(failure(errors.INVALID_REPLY, settings.base + " did not answer as " +
                                                      "the service does"));
          } else {
            this.finish(null, address);
          }
        });
      }).catch(() => {
        if (!current()) return;
        if (this.answered) {
          this.finish(failure(errors.INVALID_REPLY, settings.base + " broke off its reply"));
          return;
        }
        this.failed = "the service at " + settings.base + " is not reachable";
        if (this.read) this.requestFailed();
      });
    }

    // Chromium connects before it asks the user and holds the connection while its prompt is
    // open; the service closes a connection that sends nothing for a second, so the request
    // the user allowed may fail on it. A call asks once more after an answer of Allow, which
    // the permission shows: by its change event, or by a fresh read when the failure came
    // first.
    requestFailed() {
      if (this.rereading) return;  // the fresh read below decides
      if (this.retried || !(this.allowed || this.state() === "prompt")) {
        this.unanswered(this.failed);
      } else if (this.allowed) {
        this.retry();
      } else {
        this.rereading = true;
        this.readStatus((status) => {
          this.rereading = false;
          if (this.settled || this.failed === null) return;
          if (status && status.state === "granted") {
            this.allowed = true;
            this.retry();
          } else {
            this.unanswered(this.failed);
          }
        });
      }
    }

    retry() {
      this.retried = true;
      this.failed = null;
      this.due = Date.now() + this.settings.timeoutMs;
      this.send();
      this.arm();
    }

    abort() {
      if (this.controller) this.controller.abort();
      this.controller = null;
    }

    // Nothing answered: whether the browser stood in the way decides which failure it is.
    unanswered(message) {
      const state = this.state();
      if (state && state !== "granted") {
        this.finish(failure(errors.LOCAL_ACCESS_BLOCKED, "the browser does not let this page " +
                                                         "reach the service at " +
                                                         this.settings.base + " (its " +
                                                         "local-network permission is " +
                                                         state + ")", state));
      } else {
        this.finish(failure(errors.SERVICE_UNREACHABLE, message, state));
      }
    }

    finish(error, address) {
      if (this.settled) return;
      this.settled = true;
      clearTimeout(this.timer);
      clearTimeout(this.readTimer);
      if (this.status && typeof this.status.removeEventListener === "function") {
        this.status.removeEventListener("change", this.onChange);
      }
      this.abort();
      if (error) {
        this.reject(error);
      } else {
        this.resolve(address);
      }
    }
  }

  function getMacAddress(options) {
    return new Promise((resolve, reject) => {
      new Call(readOptions(options), resolve, reject).start();
    });
  }

  root.TalvoroMac = Object.freeze({
    getMacAddress: getMacAddress,
    errors: errors,
    CALLBACK_PREFIX: CALLBACK_PREFIX,
    DEFAULT_BASE: DEFAULT_BASE
  });
})(typeof globalThis !== "undefined" ? globalThis : window);
