/* macaddress.js: asks the local talvoro_macadress service for this machine's hardware address.
 *
 * Classic script:  <script src="macaddress.js"></script>, then TalvoroMac.getMacAddress(...)
 * ES module:       import { getMacAddress } from "./macaddress.mjs";  (a re-export of this file)
 *
 * getMacAddress({param, timeoutMs, base}) returns a Promise of the address text, such as
 * "00-1A-2B-3C-4D-5E", or "" when the service withholds it (the page's origin does not match
 * the parameter). It rejects with an Error whose `code` is one of TalvoroMac.errors:
 *   SERVICE_UNREACHABLE  the script did not load (no service, blocked, refused) or the time-out
 *                        passed first
 *   INVALID_REPLY        something answered on the address but did not call back as the
 *                        service does
 *   INVALID_ARGUMENT     `param` is not a non-empty text
 * Each call uses its own callback name; its script tag and callback go away once it settles.
 */
(function (root) {
  "use strict";

  var DEFAULT_BASE = "http://127.0.0.1:10032";
  var DEFAULT_TIMEOUT_MS = 5000;
  var CALLBACK_PREFIX = "__talvoroMac_";
  var errors = Object.freeze({
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

      function finish(outcome, value) {
        if (settled) return;
        settled = true;
        clearTimeout(timer);
        script.onload = script.onerror = null;
        if (script.parentNode) script.parentNode.removeChild(script);
        delete root[name];
        outcome(value);
      }

      root[name] = function (reply) {
        if (reply && typeof reply.ret === "string") {
          finish(resolve, reply.ret);
        } else {
          finish(reject, failure(errors.INVALID_REPLY, "the service's reply holds no address"));
        }
      };
      // The reply script runs before onload: onload without a call is not the service.
      script.onload = function () {
        finish(reject, failure(errors.INVALID_REPLY, base + " did not answer as the service"));
      };
      script.onerror = function () {
        finish(reject, failure(errors.SERVICE_UNREACHABLE, "the service at " + base +
                                                          " is not reachable"));
      };
      timer = setTimeout(function () {
        finish(reject, failure(errors.SERVICE_UNREACHABLE, "the service at " + base +
                                                          " did not answer within " +
                                                          timeoutMs + " ms"));
      }, timeoutMs);
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
