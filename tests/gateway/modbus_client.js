// A Modbus TCP client from npm (modbus-serial) that the gateway's tests drive:
//   node modbus_client.js PORT 'JSON list of operations'
// Each operation: {unit, op, address, count|values}, or {unit, op, args} for a
// call of other arguments; op is one of the client's own calls
// (readHoldingRegisters, writeCoils, maskWriteRegister, readWriteRegisters,
// readDeviceIdentification, ...). Prints one JSON list: per operation {data}
// (with the conformity level of a device identification), or {code} (the
// exception code), or {error} for anything else.
"use strict";
const ModbusRTU = require("modbus-serial");

async function main() {
    const port = Number(process.argv[2]);
    const operations = JSON.parse(process.argv[3]);
    const client = new ModbusRTU();
    await client.connectTCP("127.0.0.1", { port });
    client.setTimeout(10000);
    const results = [];
    for (const operation of operations) {
        client.setID(operation.unit);
        try {
            const argument = operation.values !== undefined ? operation.values : operation.count;
            const answer = await client[operation.op](
                ...(operation.args !== undefined ? operation.args : [operation.address, argument]));
            let data = answer && answer.data !== undefined ? answer.data : [];
            // A device identification: its objects by id.
            if (answer && answer.conformityLevel !== undefined) {
                results.push({ data, conformityLevel: answer.conformityLevel });
                continue;
            }
            // Bits come back in whole bytes.
            if (operation.count !== undefined) data = Array.from(data).slice(0, operation.count);
            results.push({ data: Array.from(data, (v) => (typeof v === "boolean" ? (v ? 1 : 0) : v)) });
        } catch (error) {
            if (error.modbusCode !== undefined) results.push({ code: error.modbusCode });
            else results.push({ error: String(error.message || error) });
        }
    }
    client.close(() => {});
    process.stdout.write(JSON.stringify(results) + "\n");
}

main().catch((error) => {
    process.stderr.write(String(error) + "\n");
    process.exit(1);
});
