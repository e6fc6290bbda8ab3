// The commands every independent client sends, one of each act with a success and a failure,
// and the exact replies the server gives to them. `demo` holds the demo users, `empty` none,
// `refusing` refuses user 2 with -5.
const device = (terminal) => ({ ip: "127.0.0.1", port: String(terminal.port), key: "0" });
const start = (state, remark) => `{"status":"start", "state":"${state}", "remarks":"${remark}"}`;
const finish = (state, remark) => `{"status":"finish", "state":"${state}", "remarks":"${remark}"}`;

export function scenario({ demo, empty, refusing }, users) {
  const two = users.filter((u) => u.enrollNumber === "1" || u.enrollNumber === "2");
  return [
    {
      command: { act: "echo", state: "e1", note: "é€" },
      replies: ['{"act":"echo","state":"e1","note":"é€","devices":[],"state2":"e1"}'],
    },
    {
      command: { act: "getfromdevice", state: "r1", ...device(empty) },
      replies: [
        start("r1", "Fetching data from:127.0.0.1"),
        "{}",
        finish("r1", "Fetch completed: 0 total users found"),
      ],
    },
    {
      command: { act: "synctodevice", state: "w1", devices: [device(empty), device(refusing)], users: two },
      replies: [
        start("w1", "sync in progress to:127.0.0.1"),
        finish("w1", "*Upload user successful!"),
        start("w1", "sync in progress to:127.0.0.1"),
        finish("w1", "*Upload user 2 error,ErrorCode=!-5"),
      ],
    },
    {
      command: { act: "getfromdevice", state: "r2", ...device(empty) },
      replies: [
        start("r2", "Fetching data from:127.0.0.1"),
        JSON.stringify({ users: two }),
        finish("r2", "Fetch completed: 2 total users found"),
      ],
    },
    {
      command: {
        act: "deletefptemplate",
        state: "f1",
        devices: [device(empty)],
        users: [{ enrollNumber: "1", fingerIndex: String(two[0].fpTemplates[0].fingerIndex) }],
      },
      replies: [
        start("f1", "Delete fingerprint in progress at:127.0.0.1"),
        finish(
          "f1",
          `Delete fingerprint completed: SSR_DelUserTmpExt,UserID=1 FingerIndex=${two[0].fpTemplates[0].fingerIndex}`,
        ),
      ],
    },
    {
      command: {
        act: "deleteenrolleddata",
        state: "d1",
        devices: [device(empty), device(empty)],
        users: [{ enrollNumber: "2", deleteOption: "12" }],
      },
      replies: [
        start("d1", "Delete in progress at:127.0.0.1"),
        finish("d1", "Delete completed: SSR_DeleteEnrollData,UserID=2 BackupNumber=12"),
        start("d1", "Delete in progress at:127.0.0.1"),
        finish("d1", "Delete completed: *Operation failed,ErrorCode=-1"),
      ],
    },
  ];
}
