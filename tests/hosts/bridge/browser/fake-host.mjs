// A host that misbehaves on purpose, started by the browser in place of the
// bridge, to show that the extension answers every request anyway:
//   silent          reads everything, answers nothing
//   die-after-hello answers the handshake, then ends at the next request
//   protocol-2      answers the handshake as a host of protocol 2
//   refuse          says why it serves no one and ends, reading nothing
//   slow-SECONDS    answers every other request after SECONDS, as a user
//                   taking their time over a dialog would
import { endianness } from "node:os";
import { stdin, stdout } from "node:process";

const mode = process.argv[2];
// The length is in the machine's own byte order.
const little = endianness() === "LE";

function write(message, then) {
  const body = Buffer.from(JSON.stringify(message));
  const length = Buffer.alloc(4);
  if (little) length.writeUInt32LE(body.length);
  else length.writeUInt32BE(body.length);
  stdout.write(Buffer.concat([length, body]), then);
}

function answer(message) {
  if (mode === "silent") return;
  if (message.method === "hello") {
    write({ id: message.id, result: { host: "fake", protocol: mode === "protocol-2" ? 2 : 1 } });
    return;
  }
  if (mode === "die-after-hello") process.exit(1);
  if (mode.startsWith("slow-")) {
    setTimeout(() => write({ id: message.id, result: "late" }), Number(mode.slice(5)) * 1000);
  }
}

if (mode === "refuse") {
  const message = "not allowed to use this host; run `ostrel bridge install`";
  write({ id: null, error: { code: "ERR_ORIGIN", message } }, () => process.exit(2));
}

let buffer = Buffer.alloc(0);
stdin.on("data", (chunk) => {
  buffer = Buffer.concat([buffer, chunk]);
  const sizeAt = () => (little ? buffer.readUInt32LE(0) : buffer.readUInt32BE(0));
  while (buffer.length >= 4 && buffer.length >= 4 + sizeAt()) {
    const size = sizeAt();
    const message = JSON.parse(buffer.subarray(4, 4 + size).toString("utf8"));
    buffer = buffer.subarray(4 + size);
    answer(message);
  }
});
stdin.on("end", () => process.exit(0));
