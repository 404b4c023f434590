// How web/macaddress.js decides between its outcomes, with the browser faked: permission
// states, unknown permission names and pages on loopback hosts that real browsers here cannot
// be made to produce on demand.
import { test } from "node:test";
import assert from "node:assert/strict";
import vm from "node:vm";
import { readFileSync } from "node:fs";

const source = readFileSync(new URL("../../web/macaddress.js", import.meta.url), "utf8");
const PUBLIC_PAGE = "https://shop.example.com/checkout";
const DEFAULT_BASE = "http://127.0.0.1:10032";
// '+', '/' and '=' are what an encoder would escape; the service needs them as they are.
const PARAM = "b3JpZ2lu+c2ln/bmF0dXJl==";
// A real answer takes a while; late events must land while the client is still asking.
const QUERY_DELAY_MS = 30;

// One page with the client loaded. `answer` is what the fake network does with the script
// tag: "error" fires onerror, "reply" runs the named callback with `reply` and then onload
// (as a real reply script does), "load" fires onload alone, "hold" does nothing.
// `perms` maps permission names to a state, "never" (a query that never settles), "throws" (a
// query that throws at once) or "nothing" (a query that answers with no status); other
// names are rejected with a TypeError; null means no Permissions API. `late` (ms after the
// tag is added) replays the callback, onerror and onload through the handlers caught earlier.
function page({ href = PUBLIC_PAGE, answer, reply, perms = null, late }) {
  const asked = [];
  const scripts = [];
  const handlers = {};
  const head = {
    appendChild(script) {
      script.parentNode = head;
      scripts.push(script);
      const name = /[?&]callback=([^&]+)&/.exec(script.src)?.[1];
      Object.assign(handlers, { callback: context[name], onerror: script.onerror,
                                onload: script.onload });
      setTimeout(() => {
        if (answer === "error") script.onerror?.({ type: "error" });
        if (answer === "reply") { context[name]?.(reply); script.onload?.({ type: "load" }); }
        if (answer === "load") script.onload?.({ type: "load" });
      }, 0);
      if (late !== undefined) {
        setTimeout(() => {
          handlers.callback({ ret: "late" });
          handlers.onerror({ type: "error" });
          handlers.onload({ type: "load" });
        }, late);
      }
      return script;
    },
    removeChild(script) { script.parentNode = null; return script; },
  };
  const permissions = perms && {
    query({ name }) {
      asked.push(name);
      const state = Object.hasOwn(perms, name) ? perms[name] : undefined;
      if (state === "never") return new Promise(() => {});
      if (state === "throws") throw new TypeError("a page's own stand-in for query");
      if (state === "nothing") return undefined;
      return new Promise((resolve, reject) => setTimeout(() => state
        ? resolve({ state })
        : reject(new TypeError(`'${name}' is not a valid value for enumeration PermissionName.`)),
      QUERY_DELAY_MS));
    },
  };
  const context = vm.createContext({
    document: { head, createElement: (tag) => ({ tagName: tag.toUpperCase(), parentNode: null }) },
    location: new URL(href),
    navigator: permissions ? { permissions } : {},
    // A vm context has no URL of its own; without it every target would read as unknown.
    setTimeout, clearTimeout, URL,
  });
  vm.runInContext(source, context, { filename: "web/macaddress.js" });
  return { client: context.TalvoroMac, context, asked, scripts };
}

// What the call settles to. The bound only proves nothing hangs (the slowest case waits about
// a second); its timer also keeps the event loop alive so a hang fails here, by name.
async function outcome(promise) {
  let timer;
  const hang = new Promise((resolve, reject) => {
    timer = setTimeout(reject, 5000, new Error("getMacAddress did not settle within 5 s"));
  });
  try {
    return await Promise.race([promise.then((ret) => ({ ret }), (error) => (
      { code: error.code, permission: error.permission, message: error.message })), hang]);
  } finally {
    clearTimeout(timer);
  }
}

const blocked = (permission) => ({ code: "LOCAL_ACCESS_BLOCKED", permission });
const unreachable = (permission) => ({ code: "SERVICE_UNREACHABLE", permission });
const LB = "loopback-network";
const LOOPBACK = [LB, "local-network-access"];
const LOCAL = ["local-network", "local-network-access"];
const lb = (state) => ({ [LB]: state });

const cases = [
  // Failure, decided by the permission.
  { name: "denied blocks", answer: "error", perms: lb("denied"),
    expect: blocked("denied"), asked: [LB] },
  { name: "prompt not yet accepted blocks", answer: "error", perms: lb("prompt"),
    expect: blocked("prompt"), asked: [LB] },
  { name: "granted means nothing answered", answer: "error", perms: lb("granted"),
    expect: { ...unreachable("granted"), message: /not reachable/ }, asked: [LB] },
  { name: "no Permissions API", answer: "error", perms: null,
    expect: unreachable(null), asked: [] },
  { name: "every name rejected", answer: "error", perms: {},
    expect: unreachable(null), asked: LOOPBACK },
  { name: "first name unknown, second denied", answer: "error",
    perms: { "local-network-access": "denied", "local-network": "granted" },
    expect: blocked("denied"), asked: LOOPBACK },
  { name: "a query that never settles", answer: "error", perms: lb("never"),
    expect: unreachable(null), asked: [LB] },
  // Pages and extensions replace navigator.permissions.query with their own.
  ...["throws", "nothing"].map((state) => ({
    name: `a query that ${state === "throws" ? "throws" : "answers with no status"}`,
    answer: "error", perms: { [LB]: state, "local-network-access": "denied" },
    expect: blocked("denied"), asked: LOOPBACK })),
  { name: "non-loopback service asks for local-network first", answer: "error",
    base: "http://192.168.0.10:10032/", perms: { [LB]: "granted", "local-network": "denied" },
    expect: blocked("denied"), asked: ["local-network"] },
  { name: "non-loopback service, older name only", answer: "error",
    base: "http://192.168.0.10:10032", perms: { "local-network-access": "prompt" },
    expect: blocked("prompt"), asked: LOCAL },

  // A page on this device is never gated, whatever the permission says.
  ...["http://127.0.0.1:8080/", "http://localhost/", "http://[::1]:8080/", "http://sub.localhost/",
      "http://127.1.2.3/"].map((href) => ({
    name: `page on ${new URL(href).hostname} is not gated`, href, answer: "error",
    perms: { [LB]: "denied", "local-network-access": "denied" },
    expect: unreachable(null), asked: [] })),
  // Names that only look like loopback are public pages.
  ...["http://localhost.example.com/", "http://127.0.0.1.example.com/"].map((href) => ({
    name: `page on ${new URL(href).hostname} is gated`, href, answer: "error",
    perms: lb("denied"), expect: blocked("denied"), asked: [LB] })),

  // Nothing answers before the client's own time-out.
  { name: "held request, granted: the time-out", answer: "hold", timeoutMs: 50,
    perms: lb("granted"),
    expect: { ...unreachable("granted"), message: /did not answer within 50 ms/ }, asked: [LB] },
  { name: "held request, prompt", answer: "hold", timeoutMs: 50, perms: lb("prompt"),
    expect: blocked("prompt"), asked: [LB] },

  // A reply or error arriving after the first outcome, while the permission is still being read.
  { name: "late reply and onerror after an error", answer: "error", late: 5,
    perms: lb("denied"), expect: blocked("denied"), asked: [LB] },
  { name: "late reply after the time-out", answer: "hold", timeoutMs: 50, late: 55,
    perms: lb("granted"), expect: unreachable("granted"), asked: [LB] },

  // Answers: the permission is not consulted, not even by a late onerror.
  { name: "reply with an address", answer: "reply", reply: { ret: "AA-BB-CC-DD-EE-FF" }, late: 5,
    perms: lb("denied"), expect: { ret: "AA-BB-CC-DD-EE-FF" }, asked: [] },
  { name: "reply withheld for another origin", answer: "reply", reply: { ret: "" },
    expect: { ret: "" }, asked: [] },
  { name: "reply without an address", answer: "reply", reply: { mac: "AA-BB-CC-DD-EE-FF" },
    perms: lb("denied"), expect: { code: "INVALID_REPLY" }, asked: [] },
  { name: "script loads without calling back", answer: "load", perms: lb("denied"),
    expect: { code: "INVALID_REPLY" }, asked: [] },
  { name: "empty param", param: "", expect: { code: "INVALID_ARGUMENT" }, asked: [] },
  { name: "no param", param: undefined, expect: { code: "INVALID_ARGUMENT" }, asked: [] },
];

for (const c of cases) {
  test(c.name, async () => {
    const { client, context, asked, scripts } = page(c);
    const param = "param" in c ? c.param : PARAM;
    const { base, timeoutMs } = c;
    const got = await outcome(client.getMacAddress({ param, base, timeoutMs }));
    if (c.late !== undefined) await new Promise((resolve) => setTimeout(resolve, c.late + 5));

    const { message, ...rest } = c.expect;
    assert.deepEqual(Object.fromEntries(Object.keys(rest).map((k) => [k, got[k]])), rest);
    if (message) assert.match(got.message, message);
    assert.deepEqual(asked, c.asked);

    // Whatever the outcome, the tag and the callback are gone.
    assert.deepEqual(Object.keys(context).filter((k) => k.startsWith(client.CALLBACK_PREFIX)), []);
    if (c.expect.code === "INVALID_ARGUMENT") return assert.equal(scripts.length, 0);
    assert.equal(scripts.length, 1);
    const [script] = scripts;
    assert.equal(script.parentNode, null);
    assert.equal(script.referrerPolicy, "origin");
    const [where, query] = script.src.split("/?");
    assert.equal(where, (base ?? DEFAULT_BASE).replace(/\/+$/, ""));
    const fields = query.split("&");
    assert.match(fields[0], new RegExp(`^callback=${client.CALLBACK_PREFIX}\\d+_\\d+$`));
    assert.deepEqual(fields.slice(1, -1), [param, "b", "c", "d"]);
    assert.match(fields.at(-1), /^_=\d+$/);
  });
}
