// Runs the S3 test server on 127.0.0.1 until it is killed: path-style buckets, the test
// credentials S3RVER/S3RVER (the server's own), objects kept under DATA_DIR.
// The server lacks two requests the tests need, ListMultipartUploads (GET /BUCKET?uploads) and
// AbortMultipartUpload (DELETE /BUCKET/KEY?uploadId=ID); they are answered here from the
// server's own record of uploads in progress, after the server's own signature check.
// Usage: node s3_server.js MODULE_DIR DATA_DIR PORT_FILE
// Listens on a port the kernel picks and writes that port, once it listens, to PORT_FILE
// (written beside it and renamed, so a reader never sees half a number).
'use strict'
const fs = require('fs')
const [moduleDir, dataDir, portFile] = process.argv.slice(2)
if (!portFile) {
  process.stderr.write('usage: node s3_server.js MODULE_DIR DATA_DIR PORT_FILE\n')
  process.exit(2)
}
const path = require('path')
const S3rver = require(moduleDir)
const S3Error = require(path.join(moduleDir, 'lib', 'models', 'error'))
const authentication = require(path.join(moduleDir, 'lib', 'middleware', 'authentication'))()

const xmlText = (s) =>
  String(s).replace(/[<>&'"]/g, (c) => `&#${c.charCodeAt(0)};`)

// Uploads in progress of one bucket, as [{key, id}], from the server's folder of them.
function uploadsOf(store, bucket) {
  const dir = store.getResourcePath(bucket, undefined, 'uploads')
  let ids = []
  try {
    ids = fs.readdirSync(dir).sort()
  } catch {
    return []
  }
  return ids.map((id) => ({ id, key: fs.readFileSync(path.join(dir, id, 'key'), 'utf8'), dir }))
}

async function uploadRequests(ctx, next) {
  const [, bucket, key] = ctx.path.match(/^\/([^/]+)\/?(.*)$/) || []
  const list = ctx.method === 'GET' && bucket && !key && 'uploads' in ctx.query
  const abort = ctx.method === 'DELETE' && bucket && key && 'uploadId' in ctx.query
  if (!list && !abort) return next()
  ctx.params = { bucket, key: key ? decodeURIComponent(key) : undefined }
  return authentication(ctx, async () => {
    if (!(await ctx.store.getBucket(bucket))) {
      throw new S3Error('NoSuchBucket', 'The specified bucket does not exist', {
        BucketName: bucket,
      })
    }
    const uploads = uploadsOf(ctx.store, bucket)
    if (list) {
      ctx.type = 'application/xml'
      ctx.body =
        '<?xml version="1.0" encoding="UTF-8"?>\n<ListMultipartUploadsResult>' +
        `<Bucket>${xmlText(bucket)}</Bucket><IsTruncated>false</IsTruncated>` +
        uploads
          .map((u) => `<Upload><Key>${xmlText(u.key)}</Key><UploadId>${u.id}</UploadId></Upload>`)
          .join('') +
        '</ListMultipartUploadsResult>'
      return
    }
    const upload = uploads.find((u) => u.id === ctx.query.uploadId && u.key === ctx.params.key)
    if (!upload) {
      throw new S3Error('NoSuchUpload', 'The specified upload does not exist.', {
        UploadId: ctx.query.uploadId,
      })
    }
    fs.rmSync(path.join(upload.dir, upload.id), { recursive: true, force: true })
    ctx.status = 204
  })
}
const server = new S3rver({
  address: '127.0.0.1',
  port: 0,
  directory: dataDir,
  silent: true,
  vhostBuckets: false,
})
// Before the server's router (the last of its middleware), which would refuse both requests.
server.middleware.splice(server.middleware.length - 1, 0, uploadRequests)
server.run((err, address) => {
  if (err) {
    process.stderr.write(`cannot start the S3 test server: ${err.message}\n`)
    process.exit(1)
  }
  fs.writeFileSync(`${portFile}.part`, `${address.port}\n`)
  fs.renameSync(`${portFile}.part`, portFile)
})
for (const sig of ['SIGTERM', 'SIGINT']) process.on(sig, () => process.exit(0))
