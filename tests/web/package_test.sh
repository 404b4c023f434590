#!/usr/bin/env bash
# Packs web/ with npm and checks the tarball as a site gets it: exactly the intended files and
# the project's version. Installed into fresh projects beside TypeScript from the registry, the
# declarations must accept typescript/usage.ts and typescript/page.ts and reject each mistake in
# typescript/misuse.ts with its own diagnostic, under bundler and node16 resolution, with each
# compiler below; Node must resolve the exports map to the client itself. Everything happens in
# a scratch folder: nothing is written into the source tree.
# Usage: package_test.sh PROJECT_VERSION NODE NPM
set -uo pipefail
[ $# -eq 3 ] || { sed -n '2,8p' "$0"; exit 2; }
version=$1 node=$2 npm=$3
here=$(cd "$(dirname "$0")" && pwd)
web=$(cd "$here/../../web" && pwd)
fixtures=$here/typescript
# The last compiler written in JavaScript and the current one. Exact versions: the expected
# diagnostics stay put, and a later run is served from npm's cache.
compilers=(5.9.3 7.0.2)
# resolution, module, lib: what a bundler's project and what Node's own ESM resolution ask.
# The second has no DOM library; the declarations must not need one.
configs=("bundler esnext es2022,dom" "node16 node16 es2022")
npm_flags=(--no-audit --no-fund --prefer-offline --no-package-lock --ignore-scripts
           --loglevel=error)
failures=0
work=$(mktemp -d -t talvoro-web-package.XXXXXX)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL $1"; failures=$((failures + 1)); }
ok() { echo "ok   $1"; }
expect_listing() {  # case, expected (sorted lines), actual (sorted lines)
  if [ "$2" = "$3" ]; then
    ok "$1"
  else
    fail "$1: listing differs"; diff <(echo "$2") <(echo "$3")
  fi
}
# What npm writes when it runs in a folder. Only these: a file someone else saves in web/
# meanwhile is not this test's business.
npm_leftovers() {
  (cd "$web" && find . \( -name node_modules -o -name package-lock.json -o -name '*.tgz' \
                         -o -name npm-shrinkwrap.json \) -prune -print | sort)
}
new_site() {  # folder: an empty ES module project, as a site's would be
  mkdir -p "$1" &&
    printf '{ "name": "site", "private": true, "type": "module" }\n' >"$1/package.json"
}

before=$(npm_leftovers)

# --- the tarball ---------------------------------------------------------------------------
tarball=$work/talvoro-macaddress-$version.tgz
if ! (cd "$work" && "$npm" pack "$web" --pack-destination "$work" "${npm_flags[@]}") \
     >"$work/pack.log" 2>&1; then
  fail "npm pack failed"; cat "$work/pack.log"; exit 1
fi
if [ ! -f "$tarball" ]; then
  fail "npm pack made no $(basename "$tarball") (a version other than $version?)"; ls "$work"
  exit 1
fi
ok "npm pack made $(basename "$tarball")"
expect_listing "the tarball holds the two scripts, the declarations, README and package.json" \
  "$(printf 'package/%s\n' README.md classic.d.ts macaddress.d.ts macaddress.js macaddress.mjs \
                           package.json | sort)" \
  "$(tar -tzf "$tarball" | sort)"
packed=$(tar -xzOf "$tarball" package/package.json |
         "$node" -e 'let s = ""; process.stdin.on("data", d => s += d)
                     .on("end", () => console.log(JSON.parse(s).version))')
if [ "$packed" = "$version" ]; then
  ok "the packed package.json has the project's version $version"
else
  fail "the packed package.json has version '$packed', the project $version"
fi

# --- what Node resolves ----------------------------------------------------------------------
new_site "$work/plain"
if (cd "$work/plain" && "$npm" install "${npm_flags[@]}" "$tarball") >"$work/plain.log" 2>&1; then
  if (cd "$work/plain" && "$node" --input-type=module -e '
    import assert from "node:assert/strict";
    import { existsSync } from "node:fs";
    import { createRequire } from "node:module";
    import path from "node:path";

    const require = createRequire(path.join(process.cwd(), "site.js"));
    const manifest = require("talvoro-macaddress/package.json");
    const home = path.dirname(require.resolve("talvoro-macaddress/package.json"));
    const named = [manifest.main, manifest.module, manifest.types, ...manifest.sideEffects];
    (function leaves(value) {
      if (typeof value === "string") named.push(value); else Object.values(value).forEach(leaves);
    })(manifest.exports);
    for (const file of named) {
      assert.ok(existsSync(path.join(home, file)), file + " is named in package.json, not packed");
    }

    const client = await import("talvoro-macaddress");
    assert.deepEqual(Object.keys(client).sort(),
                     ["CALLBACK_PREFIX", "DEFAULT_BASE", "default", "errors", "getMacAddress"]);
    assert.equal(client.default, client.getMacAddress);
    const codes = ["INVALID_ARGUMENT", "INVALID_REPLY", "LOCAL_ACCESS_BLOCKED",
                   "SERVICE_UNREACHABLE"];
    assert.deepEqual(Object.keys(client.errors).sort(), codes);
    for (const code of codes) assert.equal(client.errors[code], code);
    assert.ok(Object.isFrozen(client.errors));
    assert.equal(typeof client.CALLBACK_PREFIX, "string");
    assert.equal(client.DEFAULT_BASE, "http://127.0.0.1:10032");

    // Both names of the classic script are the file the module already ran: importing them
    // must not set up a second client.
    for (const name of ["talvoro-macaddress/classic", "talvoro-macaddress/macaddress.js"]) {
      await import(name);
      assert.equal(globalThis.TalvoroMac.getMacAddress, client.getMacAddress, name);
    }
    assert.deepEqual(Object.keys(globalThis.TalvoroMac).sort(),
                     ["CALLBACK_PREFIX", "DEFAULT_BASE", "errors", "getMacAddress"]);

    // An option the declarations reject, the client rejects too, before any request.
    await assert.rejects(client.getMacAddress({ param: "YA2XRKslq1CPfM37oZaj/A==",
                                                timeoutMs: "5000" }),
                         { code: "INVALID_ARGUMENT" });
  ' 2>&1); then
    ok "node: the exports map resolves to the client, one instance under every name"
  else
    fail "node: the installed package does not resolve or export as declared"
  fi
else
  fail "npm install of the tarball alone failed"; cat "$work/plain.log"
fi

# --- the declarations, per compiler ----------------------------------------------------------
expected=$(grep -n '// error TS[0-9]*$' "$fixtures/misuse.ts" |
           sed -E 's/^([0-9]+):.*error (TS[0-9]+)$/\1 \2/' | sort)
[ -n "$expected" ] || fail "misuse.ts names no expected diagnostic"
for ts in "${compilers[@]}"; do
  site=$work/site-$ts
  new_site "$site"
  cp "$fixtures"/*.ts "$site/"
  if ! (cd "$site" && "$npm" install "${npm_flags[@]}" "$tarball" "typescript@$ts") \
       >"$site.log" 2>&1; then
    fail "typescript $ts: npm install failed"; cat "$site.log"; continue
  fi
  for config in "${configs[@]}"; do
    read -r resolution module lib <<<"$config"
    tsc=("$node" node_modules/typescript/bin/tsc --noEmit --pretty false --strict
         --skipLibCheck false --noUncheckedSideEffectImports --target es2022 --lib "$lib"
         --module "$module" --moduleResolution "$resolution")
    for file in usage.ts page.ts; do
      if out=$(cd "$site" && "${tsc[@]}" "$file" 2>&1); then
        ok "typescript $ts, $resolution: $file type-checks"
      else
        fail "typescript $ts, $resolution: $file does not type-check"; echo "$out"
      fi
    done
    out=$(cd "$site" && "${tsc[@]}" misuse.ts 2>&1)
    status=$?
    if [ $status -ne 0 ]; then
      ok "typescript $ts, $resolution: misuse.ts is rejected (exit $status)"
    else
      fail "typescript $ts, $resolution: misuse.ts passed the check"
    fi
    # Any other error line (a bad option, a file not found) stays as it is and differs.
    actual=$(grep -E 'error TS[0-9]+' <<<"$out" |
             sed -E 's/^misuse\.ts\(([0-9]+),[0-9]+\): error (TS[0-9]+):.*/\1 \2/' | sort)
    expect_listing "typescript $ts, $resolution: each mistake draws its diagnostic, nothing else" \
      "$expected" "$actual"
  done
done

expect_listing "npm wrote nothing into web/" "$before" "$(npm_leftovers)"
[ $failures -eq 0 ] && echo "all passed" || echo "$failures failed"
[ $failures -eq 0 ]
