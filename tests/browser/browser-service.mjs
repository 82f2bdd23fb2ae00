#!/usr/bin/env node
// A long-lived headless Chromium that plays the user's browser for the proof
// page. Each authenticator profile has its own tab with its own CDP virtual
// authenticator; the tab stays open between ceremonies, because a passkey
// made in one ceremony is needed by the next and Chromium never exports a
// credential's PRF secret.
//
//   browser-service.mjs --socket PATH [--chromium /usr/bin/chromium]
//
// Listens for HTTP on the Unix socket PATH:
//   POST /ceremony {"url": "http://localhost:PORT/proof/TOKEN", "profile": "prf"}
//     opens the page in the profile's tab, presses its button and answers with
//     {"status", "statuses", "creations", "assertions"} once the page has ended.
//   POST /quit  closes the browser and ends the service.
import { chromium } from "playwright-core";
import fs from "node:fs";
import http from "node:http";
import process from "node:process";

const options = { socket: "", chromium: "/usr/bin/chromium" };
for (let i = 2; i < process.argv.length; i += 2) options[process.argv[i].replace(/^--/, "")] = process.argv[i + 1];
if (!options.socket) {
  console.error("usage: browser-service.mjs --socket PATH [--chromium PATH]");
  process.exit(64);
}

// The authenticator options of each profile. "prf" is a passkey provider
// with PRF; "hmac-secret" a security key that only answers PRF on assertion;
// "no-prf" has neither; "unverified" is a prompt the user cancels.
const base = {
  protocol: "ctap2",
  ctap2Version: "ctap2_1",
  transport: "internal",
  hasResidentKey: true,
  hasUserVerification: true,
  isUserVerified: true,
  automaticPresenceSimulation: true,
};
const profiles = {
  prf: { ...base, hasPrf: true },
  "hmac-secret": { ...base, hasHmacSecret: true },
  "no-prf": { ...base },
  unverified: { ...base, hasPrf: true, isUserVerified: false },
};

// Every status the page shows, and how often it asked the authenticator.
const recorder = () => {
  window.__ferrolatch = { statuses: [], creations: 0, assertions: 0 };
  const credentials = navigator.credentials;
  const create = credentials.create.bind(credentials);
  const get = credentials.get.bind(credentials);
  credentials.create = (request) => { window.__ferrolatch.creations++; return create(request); };
  credentials.get = (request) => { window.__ferrolatch.assertions++; return get(request); };
  document.addEventListener("DOMContentLoaded", () => {
    const status = document.getElementById("status");
    if (!status) return;
    window.__ferrolatch.statuses.push(status.textContent);
    new MutationObserver(() => window.__ferrolatch.statuses.push(status.textContent))
      .observe(status, { childList: true, characterData: true, subtree: true });
  });
};

const launchArguments = [];
if (process.getuid && process.getuid() === 0) launchArguments.push("--no-sandbox");
const browser = await chromium.launch({ executablePath: options.chromium, headless: true, args: launchArguments });
const context = await browser.newContext();
const tabs = new Map();

async function tabFor(profile) {
  if (tabs.has(profile)) return tabs.get(profile);
  const authenticator = profiles[profile];
  if (!authenticator) throw new Error(`unknown authenticator profile ${profile}`);
  const page = await context.newPage();
  await page.addInitScript(recorder);
  const session = await context.newCDPSession(page);
  await session.send("WebAuthn.enable");
  await session.send("WebAuthn.addVirtualAuthenticator", { options: authenticator });
  tabs.set(profile, page);
  return page;
}

// One ceremony at a time: every tab shares one browser.
let queue = Promise.resolve();

async function ceremony({ url, profile = "prf" }) {
  if (typeof url !== "string" || !/^http:\/\/localhost:[0-9]+\//.test(url))
    throw new Error(`refusing a page that is not on http://localhost:PORT: ${url}`);
  const page = await tabFor(profile);
  // WebAuthn answers only the focused tab.
  await page.bringToFront();
  await page.goto(url, { waitUntil: "domcontentloaded", timeout: 30000 });
  await page.click("#go", { timeout: 30000 });
  // Ended: stopped (button enabled again) or the server's answer shown.
  await page.waitForFunction(() => {
    const status = document.getElementById("status").textContent;
    const button = document.getElementById("go");
    if (status.startsWith("Proof stopped: ")) return !button.disabled;
    return button.disabled && /^(Passkey enrolled|Passkey accepted)\./.test(status);
  }, null, { timeout: 90000, polling: 100 });
  const result = await page.evaluate(() => ({
    status: document.getElementById("status").textContent,
    ...window.__ferrolatch,
  }));
  return result;
}

function readBody(request) {
  return new Promise((resolve, reject) => {
    let text = "";
    request.setEncoding("utf8");
    request.on("data", (chunk) => (text += chunk));
    request.on("end", () => resolve(text));
    request.on("error", reject);
  });
}

const server = http.createServer(async (request, response) => {
  const answer = (status, object) => {
    response.writeHead(status, { "Content-Type": "application/json" });
    response.end(JSON.stringify(object));
  };
  try {
    if (request.method === "POST" && request.url === "/quit") {
      answer(200, { quitting: true });
      await shutdown();
      return;
    }
    if (request.method !== "POST" || request.url !== "/ceremony") return answer(404, { error: "not found" });
    const job = JSON.parse(await readBody(request));
    const run = queue.then(() => ceremony(job));
    queue = run.catch(() => {});
    answer(200, await run);
  } catch (error) {
    answer(500, { error: String(error && error.message ? error.message : error) });
  }
});

let closing = false;
async function shutdown() {
  if (closing) return;
  closing = true;
  server.close();
  await browser.close().catch(() => {});
  fs.rmSync(options.socket, { force: true });
  process.exit(0);
}
process.on("SIGTERM", shutdown);
process.on("SIGINT", shutdown);
browser.on("disconnected", () => { if (!closing) process.exit(1); });

fs.rmSync(options.socket, { force: true });
server.listen(options.socket, () => console.log(`browser service ready on ${options.socket}`));
