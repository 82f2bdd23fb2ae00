#!/usr/bin/env node
// What the virtual Mac's `open -a Safari URL` starts (FERROLATCH_SIM_BROWSER):
// hands the URL to the running browser service and reports how the page ended.
//   FERROLATCH_BROWSER_SERVICE        the service's Unix socket
//   FERROLATCH_BROWSER_AUTHENTICATOR  the authenticator profile (default "prf")
import http from "node:http";
import process from "node:process";

const url = process.argv[process.argv.length - 1];
const socketPath = process.env.FERROLATCH_BROWSER_SERVICE;
const profile = process.env.FERROLATCH_BROWSER_AUTHENTICATOR || "prf";
if (!socketPath || process.argv.length < 3) {
  console.error("sim-browser: set FERROLATCH_BROWSER_SERVICE and pass the URL");
  process.exit(64);
}

const body = JSON.stringify({ url, profile });
const request = http.request(
  { socketPath, path: "/ceremony", method: "POST", headers: { "Content-Type": "application/json" } },
  (response) => {
    let text = "";
    response.setEncoding("utf8");
    response.on("data", (chunk) => (text += chunk));
    response.on("end", () => {
      let result;
      try {
        result = JSON.parse(text);
      } catch {
        result = { error: text };
      }
      if (result.error) {
        console.log(`sim-browser error: ${result.error}`);
        process.exit(1);
      }
      console.log(`sim-browser result: ${JSON.stringify(result)}`);
      console.log(`sim-browser final status: ${result.status}`);
      process.exit(result.status.startsWith("Proof stopped: ") ? 1 : 0);
    });
  },
);
request.on("error", (error) => {
  console.log(`sim-browser error: ${error.message}`);
  process.exit(1);
});
request.end(body);
