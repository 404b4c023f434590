/* macaddress.js: asks the local talvoro_macadress service for this machine's hardware address.
 *
 * Classic script:  <script src="macaddress.js"></script>, then TalvoroMac.getMacAddress(...)
 * ES module:       import { getMacAddress } from "./macaddress.mjs";  (a re-export of this file)
 *
 * getMacAddress({param, timeoutMs, base}) returns a Promise of the address text, such as
 * "00-1A-2B-3C-4D-5E", or "" when the service withholds it (the page's origin does not match
 * the parameter). It rejects with an Error whose `code` is one of TalvoroMac.errors:
 *   LOCAL_ACCESS_BLOCKED  the request failed and the browser's local-network permission for this
 *                         page is not granted: denied, or the prompt not (yet) accepted
 *   SERVICE_UNREACHABLE   nothing answered (no service, refused, or the time-out passed first),
 *                         and the permission is granted or the browser has none for this page
 *   INVALID_REPLY         something answered on the address but did not call back as the
 *                         service does
 *   INVALID_ARGUMENT      `param` is not a non-empty text
 * A failed request also carries `permission`: the permission's state as the browser read it
 * ("granted", "denied", "prompt"), or null where the browser has no such permission.
 * Each call uses its own callback name; its script tag and callback go away once it settles.
 */
(function (root) {
  "use strict";

  var DEFAULT_BASE = "http://127.0.0.1:10032";
  var DEFAULT_TIMEOUT_MS = 5000;
  var CALLBACK_PREFIX = "__talvoroMac_";
  // Browsers gate a public page's requests to this device ("loopback-network"; older Chromium:
  // "local-network-access") and to the local network ("local-network") separately.
  var LOOPBACK_PERMISSIONS = ["loopback-network", "local-network-access"];
  var LOCAL_PERMISSIONS = ["local-network", "local-network-access"];
  // A permission query that never settles must not hold the call's outcome back.
  var PERMISSION_WAIT_MS = 1000;
  var errors = Object.freeze({
    LOCAL_ACCESS_BLOCKED: "LOCAL_ACCESS_BLOCKED",
    SERVICE_UNREACHABLE: "SERVICE_UNREACHABLE",
    INVALID_REPLY: "INVALID_REPLY",
    INVALID_ARGUMENT: "INVALID_ARGUMENT"
  });
  var calls = 0;

  function failure(code, message) {
    var error = new Error(message);
    error.code = code;
    return error;
  }

  // A JavaScript identifier, unique in this page: a counter and a random part, so that two
  // copies of this script on one page never share a name.
  function callbackName() {
    calls += 1;
    return CALLBACK_PREFIX + calls + "_" + Math.floor(Math.random() * 1e9);
  }

  function isLoopbackHost(host) {
    var name = String(host).toLowerCase().replace(/^\[|\]$/g, "");
    return name === "localhost" || /\.localhost$/.test(name) || name === "::1" ||
           /^127\.\d+\.\d+\.\d+$/.test(name);
  }

  function hostOf(url) {
    try {
      return new URL(url, root.location && root.location.href).hostname;
    } catch (error) {
      return null;
    }
  }

  // The state of the local-network permission that governs this page's requests to `base`, or
  // null where none does: a page on this device itself is never gated, and a browser without
  // such a permission rejects the names (or has no Permissions API at all).
  function localAccessState(base) {
    var page = root.location && root.location.hostname;
    var target = hostOf(base);
    var permissions = root.navigator && root.navigator.permissions;
    if (!target || (page && isLoopbackHost(page)) || !permissions ||
        typeof permissions.query !== "function") {
      return Promise.resolve(null);
    }
    var names = isLoopbackHost(target) ? LOOPBACK_PERMISSIONS : LOCAL_PERMISSIONS;
    var asked = names.reduce(function (earlier, name) {
      return earlier.then(function (state) {
        return state || queryState(permissions, name);
      });
    }, Promise.resolve(null));
    return new Promise(function (resolve) {
      var timer = setTimeout(resolve, PERMISSION_WAIT_MS, null);
      asked.then(function (state) {
        clearTimeout(timer);
        resolve(state);
      });
    });
  }

  // One name's state, or null for a name the browser does not know. A query that throws, or
  // answers with something else than a status, counts as unknown.
  function queryState(permissions, name) {
    return new Promise(function (resolve) {
      resolve(permissions.query({ name: name }));
    }).then(function (status) {
      return status && typeof status.state === "string" ? status.state : null;
    }, function () {
      return null;
    });
  }

  // Nothing answered: whether the browser stood in the way decides which failure it is.
  function unanswered(base, message) {
    return localAccessState(base).then(function (state) {
      var error;
      if (state && state !== "granted") {
        error = failure(errors.LOCAL_ACCESS_BLOCKED, "the browser does not let this page reach " +
                                                     "the service at " + base + " (its " +
                                                     "local-network permission is " + state +
                                                     ")");
      } else {
        error = failure(errors.SERVICE_UNREACHABLE, message);
      }
      error.permission = state;
      return error;
    });
  }

  function getMacAddress(options) {
    var settings = options || {};
    var param = settings.param;
    var base = String(settings.base || DEFAULT_BASE).replace(/\/+$/, "");
    var timeoutMs = settings.timeoutMs > 0 ? settings.timeoutMs : DEFAULT_TIMEOUT_MS;

    return new Promise(function (resolve, reject) {
      if (typeof param !== "string" || param === "") {
        reject(failure(errors.INVALID_ARGUMENT, "param must be the text made by macparam"));
        return;
      }
      var name = callbackName();
      var script = document.createElement("script");
      var timer = null;
      var settled = false;

      // The first outcome wins; tag, callback and timer go at once, so that a late reply or
      // error event changes nothing.
      function settle() {
        if (settled) return false;
        settled = true;
        clearTimeout(timer);
        script.onload = script.onerror = null;
        if (script.parentNode) script.parentNode.removeChild(script);
        delete root[name];
        return true;
      }

      function fail(message) {
        if (settle()) unanswered(base, message).then(reject);
      }

      root[name] = function (reply) {
        if (!settle()) return;
        if (reply && typeof reply.ret === "string") {
          resolve(reply.ret);
        } else {
          reject(failure(errors.INVALID_REPLY, "the service's reply holds no address"));
        }
      };
      // The reply script runs before onload: onload without a call is not the service.
      script.onload = function () {
        if (settle()) {
          reject(failure(errors.INVALID_REPLY, base + " did not answer as the service"));
        }
      };
      script.onerror = function () {
        fail("the service at " + base + " is not reachable");
      };
      timer = setTimeout(function () {
        fail("the service at " + base + " did not answer within " + timeoutMs + " ms");
      }, timeoutMs);
      // The service checks the page's origin against the parameter in the Referer; browsers
      // drop the Referer on the way from an https page to http unless the request asks.
      script.referrerPolicy = "origin";
      // The parameter goes in as it is: the service reads its '+', '/' and '=' literally. The
      // three fields after it are placeholders the service expects; the last defeats caches.
      script.src = base + "/?callback=" + name + "&" + param + "&b&c&d&_=" + Date.now();
      (document.head || document.documentElement).appendChild(script);
    });
  }

  root.TalvoroMac = Object.freeze({
    getMacAddress: getMacAddress,
    errors: errors,
    CALLBACK_PREFIX: CALLBACK_PREFIX,
    DEFAULT_BASE: DEFAULT_BASE
  });
})(typeof globalThis !== "undefined" ? globalThis : window);
